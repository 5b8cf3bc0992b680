#include <ChildSpawn/Reap.h>

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <cstdint>
#include <mutex>
#include <new>
#include <vector>

#include <ChildSpawn/Fd.h>

#include "SysCalls.h"

namespace childspawn {

namespace {

// PIDFD_GET_INFO's first version (linux/pidfd.h, Linux 6.15).
struct PidfdInfo {
  uint64_t mask;
  uint64_t cgroupid;
  uint32_t pid, tgid, ppid, ruid, rgid, euid, egid, suid, sgid, fsuid, fsgid;
  int32_t exitCode;
};
constexpr uint64_t kPidfdInfoExit = 1u << 3;
constexpr unsigned long kPidfdGetInfo = _IOWR(0xFF, 11, PidfdInfo);
// The exit is posted before a reaped child's status is recorded.
constexpr int kExitInfoTries = 200;
constexpr int kExitInfoPauseMs = 1;

// The wait status the kernel kept for the exited child behind pidfd, or -1.
int StatusFromPidfd(int pidfd) noexcept {
  if (pidfd < 0) return -1;
  for (int i = 0; i < kExitInfoTries; ++i) {
    PidfdInfo info = {};
    info.mask = kPidfdInfoExit;
    if (sys::Ioctl(pidfd, kPidfdGetInfo, &info) != 0) {
      if (errno == EINTR) continue;
      if (errno != ESRCH) return -1;  // ENOTTY/EINVAL: an older kernel
    } else if ((info.mask & kPidfdInfoExit) != 0) {
      return info.exitCode;
    }
    sys::Poll(nullptr, 0, kExitInfoPauseMs);
  }
  return -1;
}

// The wait status waitpid would have given for what waitid reported.
int StatusFromSiginfo(const siginfo_t& info) noexcept {
  switch (info.si_code) {
    case CLD_EXITED:
      return (info.si_status & 0xff) << 8;
    case CLD_KILLED:
      return info.si_status & 0x7f;
    case CLD_DUMPED:
      return (info.si_status & 0x7f) | 0x80;
    default:
      return -1;
  }
}

}  // namespace

int ReapChild(int pidfd, bool block, int* rawStatus) noexcept {
  if (pidfd < 0) {
    *rawStatus = -1;
    return 1;
  }
  // __WALL: a child that never reached exec has exit signal 0, which a
  // plain wait would not see.
  const int options = WEXITED | __WALL | (block ? 0 : WNOHANG);
  for (;;) {
    siginfo_t info = {};
    if (sys::WaitPidfd(pidfd, &info, options) == 0) {
      if (info.si_pid == 0) return 0;  // WNOHANG: still runs
      *rawStatus = StatusFromSiginfo(info);
      return 1;
    }
    if (errno == EINTR) continue;
    // ECHILD: the host ignores SIGCHLD or reaped the child itself.
    *rawStatus = StatusFromPidfd(pidfd);
    return 1;
  }
}

int ExitCodeFromStatus(int rawStatus) noexcept {
  if (rawStatus < 0) return -1;
  if (WIFEXITED(rawStatus)) return WEXITSTATUS(rawStatus);
  if (WIFSIGNALED(rawStatus)) return 128 + WTERMSIG(rawStatus);
  return -1;
}

bool PidfdSignalsExit(int pidfd) noexcept {
  if (pidfd < 0) return false;
  struct pollfd p = {pidfd, POLLIN, 0};
  return PollRetry(&p, 1, 0) > 0 && (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

namespace {

// pidfds of children that ReapInBackground could start no thread for.
std::mutex gOrphanLock;
std::vector<int>* gOrphans = nullptr;  // never freed: a late ReapOrphans may run at exit

void* ReaperMain(void* arg) {
  int pidfd = static_cast<int>(reinterpret_cast<intptr_t>(arg));
  int status = -1;
  ReapChild(pidfd, true, &status);
  CloseFd(&pidfd);
  return nullptr;
}

// A detached thread reaping pidfd, with every signal blocked so the host's
// process-directed signals still go to its own threads.
bool StartReaper(int pidfd) noexcept {
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  const int err = sys::StartDetachedThread(ReaperMain,
                                           reinterpret_cast<void*>(static_cast<intptr_t>(pidfd)));
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return err == 0;
}

}  // namespace

void ReapInBackground(int pidfd) noexcept {
  if (pidfd < 0 || StartReaper(pidfd)) return;
  std::lock_guard<std::mutex> guard(gOrphanLock);
  try {
    if (gOrphans == nullptr) gOrphans = new std::vector<int>();
    gOrphans->push_back(pidfd);
  } catch (...) {
    CloseFd(&pidfd);  // out of memory as well: the child is left to the host
  }
}

void ReapOrphans() noexcept {
  std::lock_guard<std::mutex> guard(gOrphanLock);
  if (gOrphans == nullptr) return;
  std::vector<int>& orphans = *gOrphans;
  for (size_t i = 0; i < orphans.size();) {
    int status = -1;
    if (ReapChild(orphans[i], false, &status) == 1) {
      CloseFd(&orphans[i]);
      orphans[i] = orphans.back();
      orphans.pop_back();
    } else {
      ++i;
    }
  }
}

}  // namespace childspawn
