#include <ChildSpawn/Fd.h>

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <climits>

#include "SysCalls.h"

namespace childspawn {

void CloseFd(int* fd) noexcept {
  if (*fd >= 0) {
    sys::Close(*fd);
    *fd = -1;
  }
}

int LiftAboveStdio(int* fd) noexcept {
  if (*fd >= 3) return 0;
  const int lifted = sys::Fcntl(*fd, F_DUPFD_CLOEXEC, 3);
  if (lifted < 0) return errno;
  sys::Close(*fd);
  *fd = lifted;
  return 0;
}

ssize_t ReadRetry(int fd, void* buf, size_t len) noexcept {
  for (;;) {
    const ssize_t n = sys::Read(fd, buf, len);
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
    n = sys::Write(fd, buf, len);
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
  const int n = sys::Poll(fds, static_cast<nfds_t>(count), timeoutMs);
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

}  // namespace childspawn
