#include <ChildSpawn/Spawn.h>

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <ChildSpawn/Fd.h>
#include <ChildSpawn/Reap.h>
#include <ChildSpawn/Tuning.h>

#include "SysCalls.h"

#ifndef CLONE_PIDFD
#define CLONE_PIDFD 0x00001000
#endif
#ifndef SYS_close_range
#define SYS_close_range 436  // the same number on every architecture
#endif

extern char** environ;

namespace childspawn {

void CloseAll(ChildHandles* handles) noexcept {
  CloseFd(&handles->stdinFd);
  CloseFd(&handles->stdoutFd);
  CloseFd(&handles->stderrFd);
  CloseFd(&handles->pidfd);
}

namespace {

// The child's stack: it runs only ChildMain, which makes system calls.
constexpr size_t kChildStackBytes = 64 * 1024;
// The descriptor numbers tried one by one when neither close_range nor
// /proc/self/fd is there and the hard RLIMIT_NOFILE is unknown.
constexpr long kMaxFdsToClose = 1L << 20;

// Kernel-format signal set and action, all zero: an empty set, and SIG_DFL
// with no flags. Large enough for every architecture's layout.
const unsigned long kZeroes[16] = {};
constexpr size_t kKernelSigsetBytes = (_NSIG - 1) / 8;

// Everything the child does, prepared in the host: between clone and exec
// the child shares the host's memory and only makes system calls.
struct ChildPlan {
  const char* path = "/bin/sh";
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* workDir = nullptr;  // nullptr: the host's directory
  int source[3] = {-1, -1, -1};   // descriptor to put on 0, 1, 2; -1: none
  bool openNull[3] = {false, false, false};  // put /dev/null on 0, 1, 2
  bool newGroup = false;
  long maxFd = kMaxFdsToClose;
  volatile int error = 0;  // set by the child when a step before exec fails
};

// A getdents64 record's fixed part; the name follows it.
struct DirentHead {
  uint64_t inode;
  int64_t offset;
  unsigned short length;
  unsigned char type;
};
constexpr size_t kDirentNameAt = 19;  // offsetof(struct linux_dirent64, d_name)

// Closes every descriptor numbered 3 or above in the child, with system calls
// only: close_range, or where the kernel lacks it (before Linux 5.9) or a
// seccomp filter refuses it, each descriptor /proc/self/fd lists (however
// high, whatever the limits say), or without /proc every number below the
// hard RLIMIT_NOFILE.
__attribute__((no_sanitize("address", "thread", "undefined"))) void CloseAbove2(long maxFd) {
  if (syscall(SYS_close_range, 3U, ~0U, 0U) == 0) return;
  const long dir = syscall(SYS_openat, AT_FDCWD, "/proc/self/fd",
                           O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    alignas(8) char buf[1024];
    long n;
    while ((n = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0) {
      for (long at = 0; at < n; at += reinterpret_cast<const DirentHead*>(buf + at)->length) {
        const char* name = buf + at + kDirentNameAt;
        long fd = name[0] == '\0' ? -1 : 0;
        for (; fd >= 0 && *name != '\0'; ++name)
          fd = *name >= '0' && *name <= '9' ? fd * 10 + (*name - '0') : -1;
        if (fd >= 3 && fd != dir) syscall(SYS_close, fd);
      }
    }
    syscall(SYS_close, dir);
    if (n == 0) return;
  }
  for (long fd = 3; fd < maxFd; ++fd) syscall(SYS_close, fd);
}

// Runs in the child on its own stack, sharing the host's memory until exec,
// with every signal blocked (the host blocked them before clone). Not
// instrumented: a sanitizer's bookkeeping belongs to the host's thread.
__attribute__((no_sanitize("address", "thread", "undefined"))) int ChildMain(void* arg) {
  ChildPlan* plan = static_cast<ChildPlan*>(arg);
  // No handler of the host may ever run here: default dispositions first.
  for (int sig = 1; sig < _NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP)
      syscall(SYS_rt_sigaction, sig, kZeroes, nullptr, kKernelSigsetBytes);
  }
  if (plan->newGroup && syscall(SYS_setpgid, 0, 0) != 0) goto fail;
  for (int target = 0; target < 3; ++target) {
    int fd = plan->source[target];
    if (plan->openNull[target]) {
      fd = static_cast<int>(
          syscall(SYS_openat, AT_FDCWD, "/dev/null", target == 0 ? O_RDONLY : O_WRONLY));
      if (fd < 0) goto fail;
    }
    if (fd < 0 || fd == target) continue;
    // dup3 leaves the copy without close-on-exec.
    if (syscall(SYS_dup3, fd, target, 0) < 0) goto fail;
    if (plan->openNull[target]) syscall(SYS_close, fd);
  }
  if (plan->workDir != nullptr && syscall(SYS_chdir, plan->workDir) != 0) goto fail;
  CloseAbove2(plan->maxFd);
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, kZeroes, nullptr, kKernelSigsetBytes);
  syscall(SYS_execve, plan->path, plan->argv, plan->envp);
fail:
  plan->error = errno != 0 ? errno : ECHILD;
  return 127;
}

int MakePipe(UniqueFd* readEnd, UniqueFd* writeEnd) noexcept {
  int fds[2];
  if (sys::Pipe2(fds, O_CLOEXEC) != 0) return errno;
  // Off 0/1/2, so no end is replaced by another when the child's standard
  // descriptors are set up.
  int err = LiftAboveStdio(&fds[0]);
  if (err == 0) err = LiftAboveStdio(&fds[1]);
  readEnd->Reset(fds[0]);
  writeEnd->Reset(fds[1]);
  return err;
}

int SetNonBlocking(int fd) noexcept {
  const int flags = sys::Fcntl(fd, F_GETFL, 0);
  if (flags < 0) return errno;
  if ((flags & O_NONBLOCK) == 0 && sys::Fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  return 0;
}

bool FdIsOpen(int fd) noexcept { return sys::Fcntl(fd, F_GETFD, 0) >= 0 || errno != EBADF; }

// The pipe size for bulk output: the system's maximum, at most kBulkPipeBytes.
int BulkPipeSize() noexcept {
  static const int size = []() noexcept {
    long value = kBulkPipeBytes;
    UniqueFd fd(sys::Open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC));
    if (fd.Valid()) {
      char text[32] = {};
      const ssize_t n = ReadRetry(fd.Get(), text, sizeof(text) - 1);
      if (n > 0) {
        const long parsed = std::strtol(text, nullptr, 10);
        if (parsed > 0) value = std::min(value, parsed);
      }
    }
    return static_cast<int>(value);
  }();
  return size;
}

void GrowPipe(int fd) noexcept {
  // Fewer wakeups on both sides for bulk streams. Failure (e.g. the user's
  // pipe-buffer quota is used up) just leaves the default size.
  const int size = BulkPipeSize();
  if (sys::Fcntl(fd, F_SETPIPE_SZ, size) < 0 && size > kBulkPipeFallbackBytes)
    sys::Fcntl(fd, F_SETPIPE_SZ, kBulkPipeFallbackBytes);
}

bool HasNul(const std::string& s) noexcept { return s.find('\0') != std::string::npos; }

// Where the child's descriptor `target` comes from.
int PlanStream(ChildPlan* plan, StreamMode mode, int target, int childEnd) noexcept {
  switch (mode) {
    case StreamMode::kPipe:
      plan->source[target] = childEnd;
      return 0;
    case StreamMode::kDevNull:
      plan->openNull[target] = true;
      return 0;
    case StreamMode::kToStdout:
      if (target != 2) return EINVAL;
      plan->source[2] = 1;
      return 0;
    case StreamMode::kGiven:
      if (target == 2 || childEnd < 0) return EINVAL;
      plan->source[target] = childEnd;
      return 0;
    case StreamMode::kInherit:
      // A host that closed its standard descriptors must not hand the child
      // a closed 0/1/2 (the child's next open would land there).
      plan->openNull[target] = !FdIsOpen(target);
      return 0;
  }
  return EINVAL;
}

// The host's environment, with the extra entries replacing entries of the
// same name. Points into environ and extraEnv.
std::vector<char*> BuildEnvironment(const std::vector<std::string>& extraEnv) {
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    bool replaced = false;
    for (const std::string& extra : extraEnv) {
      const size_t nameLen = extra.find('=') + 1;  // name and '='
      if (std::strncmp(*e, extra.c_str(), nameLen) == 0) {
        replaced = true;
        break;
      }
    }
    if (!replaced) envp.push_back(*e);
  }
  for (const std::string& extra : extraEnv) envp.push_back(const_cast<char*>(extra.c_str()));
  envp.push_back(nullptr);
  return envp;
}

// The hard limit: the soft one may have been lowered below descriptors the
// host still holds.
long MaxFd() noexcept {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_max == RLIM_INFINITY ||
      limit.rlim_max > static_cast<rlim_t>(INT_MAX))
    return kMaxFdsToClose;
  return static_cast<long>(limit.rlim_max);
}

// clone with CLONE_VM | CLONE_VFORK | CLONE_PIDFD and exit signal 0: returns
// once the child has exec'ed or failed. Every signal is blocked around it
// (the C library's internal ones too), so no handler of the host runs in
// the child before it has reset them.
pid_t CloneChild(ChildPlan* plan, int* pidfd) noexcept {
  void* stack = sys::MapStack(kChildStackBytes);
  if (stack == nullptr) return -1;
  unsigned long all[sizeof kZeroes / sizeof kZeroes[0]];
  std::memset(all, 0xff, sizeof all);
  unsigned long old[sizeof kZeroes / sizeof kZeroes[0]] = {};
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, all, old, kKernelSigsetBytes);
  const pid_t pid = sys::Clone(ChildMain, static_cast<char*>(stack) + kChildStackBytes,
                               CLONE_VM | CLONE_VFORK | CLONE_PIDFD, plan, pidfd);
  const int savedErrno = errno;
  syscall(SYS_rt_sigprocmask, SIG_SETMASK, old, nullptr, kKernelSigsetBytes);
  sys::UnmapStack(stack, kChildStackBytes);  // the child has left it
  errno = savedErrno;
  return pid;
}

// A copy of the host's descriptor fd into *copy; 0 or an errno value.
int CopyGiven(int fd, UniqueFd* copy) noexcept {
  if (fd < 0) return EBADF;
  const int dup = sys::Fcntl(fd, F_DUPFD_CLOEXEC, 3);
  if (dup < 0) return errno;
  copy->Reset(dup);
  return 0;
}

int SpawnImpl(const SpawnRequest& req, ChildHandles* out) {
  if (req.command.empty() || HasNul(req.command) || HasNul(req.workDir)) return EINVAL;
  if (req.stdinMode == StreamMode::kToStdout || req.stdoutMode == StreamMode::kToStdout)
    return EINVAL;
  for (const std::string& extra : req.extraEnv) {
    const size_t eq = extra.find('=');
    if (eq == 0 || eq == std::string::npos || HasNul(extra)) return EINVAL;
  }
  std::vector<char*> envp = BuildEnvironment(req.extraEnv);

  UniqueFd inR, inW, outR, outW, errR, errW;
  int err;
  if (req.stdinMode == StreamMode::kPipe && (err = MakePipe(&inR, &inW)) != 0) return err;
  if (req.stdoutMode == StreamMode::kPipe && (err = MakePipe(&outR, &outW)) != 0) return err;
  if (req.stderrMode == StreamMode::kPipe && (err = MakePipe(&errR, &errW)) != 0) return err;
  if (req.stderrMode == StreamMode::kGiven) return EINVAL;
  // The host's descriptors, copied above 0/1/2 and close-on-exec: the
  // child's setup of its standard descriptors cannot replace them, and the
  // child gets each only as the standard stream it was given for.
  if (req.stdinMode == StreamMode::kGiven && (err = CopyGiven(req.givenStdinFd, &inR)) != 0)
    return err;
  if (req.stdoutMode == StreamMode::kGiven && (err = CopyGiven(req.givenStdoutFd, &outW)) != 0)
    return err;

  ChildPlan plan;
  // Standard output before standard error, so "stderr to stdout" gets the
  // final stdout.
  if ((err = PlanStream(&plan, req.stdinMode, 0, inR.Get())) != 0) return err;
  if ((err = PlanStream(&plan, req.stdoutMode, 1, outW.Get())) != 0) return err;
  if ((err = PlanStream(&plan, req.stderrMode, 2, errW.Get())) != 0) return err;
  plan.workDir = req.workDir.empty() ? nullptr : req.workDir.c_str();
  plan.newGroup = req.newProcessGroup;
  plan.maxFd = MaxFd();
  // "--": a command that starts with '-' is a command, not options.
  char shName[] = "sh";
  char dashC[] = "-c";
  char endOfOptions[] = "--";
  char* argv[] = {shName, dashC, endOfOptions, const_cast<char*>(req.command.c_str()), nullptr};
  plan.argv = argv;
  plan.envp = envp.data();

  int pidfd = -1;
  const pid_t pid = CloneChild(&plan, &pidfd);
  if (pid < 0) return errno;
  UniqueFd pidfdOwner(pidfd);
  if (plan.error != 0) {
    int status = -1;
    ReapChild(pidfd, true, &status);
    return plan.error;
  }

  // The child holds its ends now; the host keeps the others.
  inR.Reset();
  outW.Reset();
  errW.Reset();
  for (const UniqueFd* fd : {&inW, &outR, &errR}) {
    if (fd->Valid()) SetNonBlocking(fd->Get());  // cannot fail on a valid pipe descriptor
  }
  if (req.largePipes) {
    if (outR.Valid()) GrowPipe(outR.Get());
    if (inW.Valid()) GrowPipe(inW.Get());
  }
  // Like the pipes, kept off 0/1/2 in case the host closed them; where no
  // other number is free it stays where it is, since the child is reaped
  // only through it.
  int lifted = pidfdOwner.Release();
  LiftAboveStdio(&lifted);

  ChildHandles h;
  h.pid = pid;
  h.pidfd = lifted;
  h.stdinFd = inW.Release();
  h.stdoutFd = outR.Release();
  h.stderrFd = errR.Release();
  h.ownGroup = req.newProcessGroup;
  *out = h;
  return 0;
}

}  // namespace

int Spawn(const SpawnRequest& request, ChildHandles* out) noexcept {
  if (out == nullptr) return EINVAL;
  try {
    return SpawnImpl(request, out);
  } catch (...) {
    return ENOMEM;
  }
}

}  // namespace childspawn
