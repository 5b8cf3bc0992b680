#include <ChildSpawn/ChildSpawn.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#ifndef SYS_pidfd_open
#define SYS_pidfd_open 434  // the same number on every architecture
#endif

extern char** environ;

namespace childspawn {

// ---------------------------------------------------------------------------
// TailBuffer

bool TailBuffer::Reserve(size_t needed) noexcept {
  if (buf_.size() >= needed) return true;
  size_t newSize = std::max<size_t>(buf_.size() * 2, 64 * 1024);
  newSize = std::min(std::max(newSize, needed), capacity_);
  try {
    std::vector<char> bigger(newSize);
    // Linearize: the oldest byte moves to index 0.
    const size_t cap = buf_.size();
    if (size_ > 0) {
      const size_t first = std::min(size_, cap - head_);
      std::memcpy(bigger.data(), buf_.data() + head_, first);
      std::memcpy(bigger.data() + first, buf_.data(), size_ - first);
    }
    buf_.swap(bigger);
    head_ = 0;
    return true;
  } catch (...) {
    return false;
  }
}

void TailBuffer::Drop(size_t len) noexcept {
  len = std::min(len, size_);
  if (len == 0) return;
  head_ = (head_ + len) % buf_.size();
  size_ -= len;
  dropped_ += len;
  if (size_ == 0) head_ = 0;
}

bool TailBuffer::Append(const char* data, size_t len) noexcept {
  if (len == 0) return true;
  if (capacity_ == 0) {
    dropped_ += len;
    return true;
  }
  if (len >= capacity_) {
    // Only the last capacity_ bytes of data survive.
    dropped_ += size_ + (len - capacity_);
    size_ = 0;
    head_ = 0;
    data += len - capacity_;
    len = capacity_;
  } else if (size_ + len > capacity_) {
    Drop(size_ + len - capacity_);
  }
  if (!Reserve(size_ + len)) {
    dropped_ += len;
    return false;
  }
  const size_t cap = buf_.size();
  const size_t tail = (head_ + size_) % cap;
  const size_t first = std::min(len, cap - tail);
  std::memcpy(buf_.data() + tail, data, first);
  std::memcpy(buf_.data(), data + first, len - first);
  size_ += len;
  return true;
}

size_t TailBuffer::TakeFront(char* dst, size_t len) noexcept {
  const size_t n = std::min(len, size_);
  if (n == 0) return 0;
  const size_t cap = buf_.size();
  const size_t first = std::min(n, cap - head_);
  std::memcpy(dst, buf_.data() + head_, first);
  std::memcpy(dst + first, buf_.data(), n - first);
  head_ = (head_ + n) % cap;
  size_ -= n;
  if (size_ == 0) head_ = 0;
  return n;
}

size_t TailBuffer::TakeBack(char* dst, size_t len) noexcept {
  const size_t n = std::min(len, size_);
  Drop(size_ - n);
  const size_t taken = TakeFront(dst, n);
  size_ = 0;
  head_ = 0;
  return taken;
}

bool TailBuffer::MoveTo(std::string* out) noexcept {
  const size_t cap = buf_.size();
  try {
    if (size_ > 0) {
      const size_t first = std::min(size_, cap - head_);
      out->append(buf_.data() + head_, first);
      out->append(buf_.data(), size_ - first);
    }
  } catch (...) {
    return false;
  }
  size_ = 0;
  head_ = 0;
  return true;
}

void TailBuffer::Reset() noexcept {
  std::vector<char>().swap(buf_);
  head_ = 0;
  size_ = 0;
  dropped_ = 0;
}

// ---------------------------------------------------------------------------
// Descriptors and I/O

void CloseFd(int* fd) noexcept {
  if (*fd >= 0) {
    // On Linux the descriptor is released even when close reports EINTR, so
    // it is never retried.
    ::close(*fd);
    *fd = -1;
  }
}

void CloseAll(ChildHandles* handles) noexcept {
  CloseFd(&handles->stdinFd);
  CloseFd(&handles->stdoutFd);
  CloseFd(&handles->stderrFd);
  CloseFd(&handles->pidfd);
}

ssize_t ReadRetry(int fd, void* buf, size_t len) noexcept {
  for (;;) {
    const ssize_t n = ::read(fd, buf, len);
    if (n >= 0 || errno != EINTR) return n;
  }
}

ssize_t WriteNoSigpipe(int fd, const void* buf, size_t len) noexcept {
  sigset_t pipeSet;
  sigset_t oldMask;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  const bool masked = pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask) == 0;

  // A SIGPIPE pending now was raised by someone else: it stays for the host.
  bool pendingBefore = false;
  sigset_t pending;
  sigemptyset(&pending);
  if (sigpending(&pending) == 0) pendingBefore = sigismember(&pending, SIGPIPE) == 1;

  ssize_t n;
  do {
    n = ::write(fd, buf, len);
  } while (n < 0 && errno == EINTR);
  const int savedErrno = errno;

  if (n < 0 && savedErrno == EPIPE && masked && !pendingBefore) {
    // The write raised SIGPIPE (directed at this thread); take it before the
    // mask is restored so it is never delivered.
    const struct timespec zero = {0, 0};
    while (sigtimedwait(&pipeSet, nullptr, &zero) < 0 && errno == EINTR) {
    }
  }
  if (masked) pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  errno = savedErrno;
  return n;
}

int PollRetry(struct pollfd* fds, size_t count, int timeoutMs) noexcept {
  const int n = ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
  if (n < 0 && errno == EINTR) {
    for (size_t i = 0; i < count; ++i) fds[i].revents = 0;
    return 0;
  }
  return n;
}

int64_t NowMs() noexcept {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int TimeoutUntil(int64_t deadlineMs, int capMs) noexcept {
  if (deadlineMs < 0) return capMs;
  int64_t remaining = deadlineMs - NowMs();
  if (remaining < 0) remaining = 0;
  if (remaining > INT_MAX) remaining = INT_MAX;
  int timeout = static_cast<int>(remaining);
  if (capMs >= 0) timeout = std::min(timeout, capMs);
  return timeout;
}

// ---------------------------------------------------------------------------
// Reaping

int ReapChild(pid_t pid, bool block, int* rawStatus) noexcept {
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, block ? 0 : WNOHANG);
    if (r == pid) {
      *rawStatus = status;
      return 1;
    }
    if (r == 0) return 0;
    if (r < 0 && errno == EINTR) continue;
    // ECHILD: the host ignores SIGCHLD (or reaps with waitpid(-1)), so the
    // child is gone and its status with it.
    *rawStatus = -1;
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

size_t DrainAvailable(int* fd, TailBuffer* sink, char* scratch, size_t scratchLen,
                      size_t maxBytes) noexcept {
  size_t total = 0;
  while (*fd >= 0 && total < maxBytes) {
    const size_t want = std::min(scratchLen, maxBytes - total);
    const ssize_t n = ReadRetry(*fd, scratch, want);
    if (n > 0) {
      if (sink != nullptr) sink->Append(scratch, static_cast<size_t>(n));
      total += static_cast<size_t>(n);
      // A pipe read returns less than asked only when the pipe ran empty.
      if (static_cast<size_t>(n) < want) break;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    CloseFd(fd);  // end of file, or an error that will not go away
  }
  return total;
}

namespace {

// Scratch space for draining: on the heap when possible so callers running on
// small thread stacks are safe, with a small fallback if allocation fails.
class Scratch {
 public:
  Scratch() noexcept : heap_(new (std::nothrow) char[kScratchBytes]) {}
  char* data() noexcept { return heap_ ? heap_.get() : small_; }
  size_t size() const noexcept { return heap_ ? kScratchBytes : sizeof(small_); }

 private:
  std::unique_ptr<char[]> heap_;
  char small_[4096];
};

}  // namespace

PumpResult PumpUntilExit(ChildHandles* h, TailBuffer* outSink, TailBuffer* errSink,
                         int64_t deadlineMs, int* rawStatus) noexcept {
  Scratch scratch;
  const size_t kPerWake = 1024 * 1024;  // per pipe per wakeup, for fairness
  // Without a pidfd the child's exit is learned by polling waitpid.
  const int kExitPollMs = 20;

  auto finish = [&](int status) {
    // The child is gone: everything it wrote is already in the pipes.
    DrainAvailable(&h->stdoutFd, outSink, scratch.data(), scratch.size(), kFinalDrainBytes);
    DrainAvailable(&h->stderrFd, errSink, scratch.data(), scratch.size(), kFinalDrainBytes);
    *rawStatus = status;
    h->pid = -1;
    CloseFd(&h->pidfd);
    return PumpResult::kExited;
  };

  for (;;) {
    const bool usePidfd = h->pidfd >= 0;
    if (!usePidfd) {
      int status = -1;
      if (ReapChild(h->pid, false, &status) == 1) return finish(status);
    }
    if (deadlineMs >= 0 && NowMs() >= deadlineMs) return PumpResult::kTimedOut;

    PollSet set;
    const int iOut = set.Add(h->stdoutFd, POLLIN);
    const int iErr = set.Add(h->stderrFd, POLLIN);
    const int iPid = usePidfd ? set.Add(h->pidfd, POLLIN) : -1;

    if (set.count == 0) {
      // No pipes and no pidfd: block in waitpid when there is no deadline,
      // otherwise sleep a little and poll waitpid again.
      if (deadlineMs < 0) {
        int status = -1;
        ReapChild(h->pid, true, &status);
        return finish(status);
      }
      ::poll(nullptr, 0, TimeoutUntil(deadlineMs, kExitPollMs));
      continue;
    }

    const int n = set.Wait(TimeoutUntil(deadlineMs, usePidfd ? -1 : kExitPollMs));
    if (n < 0) {
      // Only EINVAL/ENOMEM are possible here; avoid spinning.
      ::poll(nullptr, 0, kExitPollMs);
      continue;
    }
    if (n == 0) continue;
    if (set.Ready(iOut))
      DrainAvailable(&h->stdoutFd, outSink, scratch.data(), scratch.size(), kPerWake);
    if (set.Ready(iErr))
      DrainAvailable(&h->stderrFd, errSink, scratch.data(), scratch.size(), kPerWake);
    if (set.Ready(iPid)) {
      int status = -1;
      ReapChild(h->pid, true, &status);  // exited: returns at once
      return finish(status);
    }
  }
}

// ---------------------------------------------------------------------------
// Spawning

namespace {

// Moves a descriptor to a number >= 3, keeping it close-on-exec. The child's
// ends are then never already sitting on 0/1/2, so dup2 onto 0/1/2 always
// happens (and clears close-on-exec), and no dup2 overwrites another end.
int LiftAboveStdio(int* fd) noexcept {
  if (*fd >= 3) return 0;
  const int lifted = ::fcntl(*fd, F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return errno;
  ::close(*fd);
  *fd = lifted;
  return 0;
}

int MakePipe(int* readEnd, int* writeEnd) noexcept {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  int err = LiftAboveStdio(&fds[0]);
  if (err == 0) err = LiftAboveStdio(&fds[1]);
  if (err != 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return err;
  }
  *readEnd = fds[0];
  *writeEnd = fds[1];
  return 0;
}

int SetNonBlocking(int fd) noexcept {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags < 0) return errno;
  if ((flags & O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) return errno;
  return 0;
}

bool FdIsOpen(int fd) noexcept { return ::fcntl(fd, F_GETFD) >= 0 || errno != EBADF; }

// The pipe size for bulk output: the system's maximum, at most 1 MiB.
int BulkPipeSize() noexcept {
  static const int size = []() noexcept {
    long value = 1024 * 1024;
    const int fd = ::open("/proc/sys/fs/pipe-max-size", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char text[32] = {};
      const ssize_t n = ReadRetry(fd, text, sizeof(text) - 1);
      ::close(fd);
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
  if (::fcntl(fd, F_SETPIPE_SZ, size) < 0 && size > 256 * 1024)
    ::fcntl(fd, F_SETPIPE_SZ, 256 * 1024);
}

bool HasNul(const std::string& s) noexcept { return s.find('\0') != std::string::npos; }

// Releases what a spawn attempt acquired, whatever path it leaves by.
struct SpawnResources {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  bool haveActions = false;
  bool haveAttr = false;
  int fds[6] = {-1, -1, -1, -1, -1, -1};  // stdin r/w, stdout r/w, stderr r/w

  ~SpawnResources() {
    if (haveActions) posix_spawn_file_actions_destroy(&actions);
    if (haveAttr) posix_spawnattr_destroy(&attr);
    for (int& fd : fds) CloseFd(&fd);
  }
};

// Adds the file action that gives the child descriptor `target`.
int AddStreamAction(SpawnResources* r, StreamMode mode, int target, int childEnd) noexcept {
  switch (mode) {
    case StreamMode::kPipe:
      return posix_spawn_file_actions_adddup2(&r->actions, childEnd, target);
    case StreamMode::kDevNull:
      return posix_spawn_file_actions_addopen(&r->actions, target, "/dev/null",
                                              target == 0 ? O_RDONLY : O_WRONLY, 0);
    case StreamMode::kToStdout:
      if (target != 2) return EINVAL;
      return posix_spawn_file_actions_adddup2(&r->actions, 1, 2);
    case StreamMode::kInherit:
      // A host that closed its standard descriptors must not hand the child
      // a closed 0/1/2 (the child's next open would land there).
      if (!FdIsOpen(target))
        return posix_spawn_file_actions_addopen(&r->actions, target, "/dev/null",
                                                target == 0 ? O_RDONLY : O_WRONLY, 0);
      return 0;
  }
  return EINVAL;
}

int SpawnImpl(const SpawnRequest& req, ChildHandles* out) {
  if (req.command.empty() || HasNul(req.command) || HasNul(req.workDir)) return EINVAL;
  if (req.stdinMode == StreamMode::kToStdout || req.stdoutMode == StreamMode::kToStdout)
    return EINVAL;

  // The child's environment: the host's, with the extra entries replacing
  // entries of the same name.
  std::vector<char*> envp;
  for (const std::string& extra : req.extraEnv) {
    const size_t eq = extra.find('=');
    if (eq == 0 || eq == std::string::npos || HasNul(extra)) return EINVAL;
  }
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    bool replaced = false;
    for (const std::string& extra : req.extraEnv) {
      const size_t nameLen = extra.find('=') + 1;  // name and '='
      if (std::strncmp(*e, extra.c_str(), nameLen) == 0) {
        replaced = true;
        break;
      }
    }
    if (!replaced) envp.push_back(*e);
  }
  for (const std::string& extra : req.extraEnv) envp.push_back(const_cast<char*>(extra.c_str()));
  envp.push_back(nullptr);

  SpawnResources r;
  int err = posix_spawn_file_actions_init(&r.actions);
  if (err != 0) return err;
  r.haveActions = true;
  err = posix_spawnattr_init(&r.attr);
  if (err != 0) return err;
  r.haveAttr = true;

  int& inR = r.fds[0];
  int& inW = r.fds[1];
  int& outR = r.fds[2];
  int& outW = r.fds[3];
  int& errR = r.fds[4];
  int& errW = r.fds[5];
  if (req.stdinMode == StreamMode::kPipe && (err = MakePipe(&inR, &inW)) != 0) return err;
  if (req.stdoutMode == StreamMode::kPipe && (err = MakePipe(&outR, &outW)) != 0) return err;
  if (req.stderrMode == StreamMode::kPipe && (err = MakePipe(&errR, &errW)) != 0) return err;

  // Order matters: stdout before stderr so "stderr to stdout" sees the final
  // stdout; closefrom last so it also closes the original pipe descriptors.
  if ((err = AddStreamAction(&r, req.stdinMode, 0, inR)) != 0) return err;
  if ((err = AddStreamAction(&r, req.stdoutMode, 1, outW)) != 0) return err;
  if ((err = AddStreamAction(&r, req.stderrMode, 2, errW)) != 0) return err;
  if (!req.workDir.empty() &&
      (err = posix_spawn_file_actions_addchdir_np(&r.actions, req.workDir.c_str())) != 0)
    return err;
  if ((err = posix_spawn_file_actions_addclosefrom_np(&r.actions, 3)) != 0) return err;

  // An empty signal mask and default dispositions for every signal that can
  // be caught, whatever the host blocks or ignores (e.g. SIGPIPE).
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  sigset_t mask;
  sigemptyset(&mask);
  if ((err = posix_spawnattr_setsigmask(&r.attr, &mask)) != 0) return err;
  // All bits set, not sigfillset: sigfillset leaves out the C library's
  // internal signals, which the spawn code would then set to SIG_IGN in the
  // child, where an exec'ed program would inherit them ignored.
  sigset_t defaults;
  std::memset(&defaults, 0xff, sizeof(defaults));
  sigdelset(&defaults, SIGKILL);
  sigdelset(&defaults, SIGSTOP);
  if ((err = posix_spawnattr_setsigdefault(&r.attr, &defaults)) != 0) return err;
  if (req.newProcessGroup) {
    flags |= POSIX_SPAWN_SETPGROUP;
    if ((err = posix_spawnattr_setpgroup(&r.attr, 0)) != 0) return err;
  }
  if ((err = posix_spawnattr_setflags(&r.attr, flags)) != 0) return err;

  char shName[] = "sh";
  char dashC[] = "-c";
  char* argv[] = {shName, dashC, const_cast<char*>(req.command.c_str()), nullptr};

  pid_t pid = -1;
  err = posix_spawn(&pid, "/bin/sh", &r.actions, &r.attr, argv, envp.data());
  if (err != 0) return err;

  // The child holds its ends now; the host keeps the others.
  CloseFd(&inR);
  CloseFd(&outW);
  CloseFd(&errW);
  for (int fd : {inW, outR, errR}) {
    if (fd >= 0) SetNonBlocking(fd);  // cannot fail on a valid pipe descriptor
  }
  if (req.largePipes) {
    if (outR >= 0) GrowPipe(outR);
    if (inW >= 0) GrowPipe(inW);
  }

  ChildHandles h;
  h.pid = pid;
  // The pid cannot be reused before we reap it, so the pidfd names our child
  // even if it has already exited. Unavailable (old kernel, seccomp): the
  // callers fall back to polling waitpid.
  const long pidfd = ::syscall(SYS_pidfd_open, pid, 0);
  h.pidfd = pidfd >= 0 ? static_cast<int>(pidfd) : -1;
  // Like the pipes, kept off 0/1/2 in case the host closed them.
  if (h.pidfd >= 0 && LiftAboveStdio(&h.pidfd) != 0) CloseFd(&h.pidfd);
  h.stdinFd = inW;
  h.stdoutFd = outR;
  h.stderrFd = errR;
  inW = outR = errR = -1;  // owned by the caller from here on
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
