#pragma once

// Descriptors: an owning type and the I/O helpers every wait uses. Helpers
// report failure through their return value and errno; nothing throws.

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace childspawn {

// Closes fd if it is open and sets it to -1. Never retried: on Linux the
// descriptor is released even when close reports EINTR.
void CloseFd(int* fd) noexcept;

// Owns one descriptor and closes it on destruction. Move-only.
class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  ~UniqueFd() { CloseFd(&fd_); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int Get() const noexcept { return fd_; }
  bool Valid() const noexcept { return fd_ >= 0; }
  // Gives up ownership: the caller closes the descriptor.
  int Release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void Reset(int fd = -1) noexcept {
    CloseFd(&fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Moves *fd to a number >= 3, keeping it close-on-exec, so that a host with
// 0/1/2 closed never has a pipe end sitting there. Returns 0 or an errno.
int LiftAboveStdio(int* fd) noexcept;

// read(2) retried on EINTR. On a nonblocking descriptor, -1/EAGAIN means
// nothing is available now.
ssize_t ReadRetry(int fd, void* buf, size_t len) noexcept;

// write(2) retried on EINTR, with SIGPIPE blocked in the calling thread for
// the duration. When the reader is gone the call returns -1/EPIPE and the
// SIGPIPE the write raised is consumed, unless one was already pending before
// (that one is left for the host). The thread's signal mask is restored and
// the process's signal dispositions are never touched.
ssize_t WriteNoSigpipe(int fd, const void* buf, size_t len) noexcept;

// poll(2); EINTR is reported as 0 (nothing ready) so callers re-evaluate
// their deadline and loop.
int PollRetry(struct pollfd* fds, size_t count, int timeoutMs) noexcept;

// The descriptors one wait of a child watches: its pipes and its pidfd.
// Closed descriptors (-1) are left out.
struct PollSet {
  struct pollfd fds[4];
  size_t count = 0;

  // The entry's index, or -1 when fd is closed.
  int Add(int fd, short events) noexcept {
    if (fd < 0 || count == sizeof fds / sizeof fds[0]) return -1;
    fds[count] = {fd, events, 0};
    return static_cast<int>(count++);
  }
  bool Ready(int index) const noexcept { return index >= 0 && fds[index].revents != 0; }
  int Wait(int timeoutMs) noexcept { return PollRetry(fds, count, timeoutMs); }
};

// Milliseconds of CLOCK_MONOTONIC.
int64_t NowMs() noexcept;

// Poll timeout for a deadline in NowMs() terms; deadline < 0 means none.
// At most capMs when capMs >= 0.
int TimeoutUntil(int64_t deadlineMs, int capMs) noexcept;

}  // namespace childspawn
