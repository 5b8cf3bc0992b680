#include <ChildSpawn/Reap.h>

#include <errno.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

#include <cstdint>

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

}  // namespace

int ReapChild(pid_t pid, int pidfd, bool block, int* rawStatus) noexcept {
  // __WALL: a child that never reached exec has exit signal 0, which a
  // plain waitpid would not see.
  const int options = __WALL | (block ? 0 : WNOHANG);
  for (;;) {
    int status = 0;
    const pid_t r = sys::Waitpid(pid, &status, options);
    if (r == pid) {
      *rawStatus = status;
      return 1;
    }
    if (r == 0) return 0;
    if (r < 0 && errno == EINTR) continue;
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

}  // namespace childspawn
