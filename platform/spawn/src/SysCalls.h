#pragma once

// The system calls the spawn library makes in the host, each through one
// thin wrapper. SysCalls.cpp forwards them to the system; the tests build
// the library with a shim in its place that can fail any of them on demand
// (EINTR, EAGAIN, ENOSPC, EMFILE...). Calls made in the child between clone
// and exec do not go through here: they must not touch the host's memory.

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/types.h>

#include <cstddef>

namespace childspawn {
namespace sys {

// waitid's id type for a pidfd (P_PIDFD, Linux 5.4; older C headers lack it).
constexpr int kPidfdIdType = 3;

// What both the real wrapper and the test shim run for StartDetachedThread.
inline int CreateDetached(void* (*fn)(void*), void* arg) noexcept {
  pthread_attr_t attr;
  int err = pthread_attr_init(&attr);
  if (err != 0) return err;
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  err = pthread_create(&thread, &attr, fn, arg);
  pthread_attr_destroy(&attr);
  return err;
}

ssize_t Read(int fd, void* buf, size_t len) noexcept;
ssize_t Write(int fd, const void* buf, size_t len) noexcept;
int Pipe2(int fds[2], int flags) noexcept;
int Open(const char* path, int flags) noexcept;
int Close(int fd) noexcept;
int Fcntl(int fd, int cmd, int arg) noexcept;
int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) noexcept;
// waitid(P_PIDFD, pidfd, info, options): waits for exactly the child behind
// pidfd, never for a later process that reuses its pid.
int WaitPidfd(int pidfd, siginfo_t* info, int options) noexcept;
int Kill(pid_t pid, int signal) noexcept;
// pidfd_send_signal(pidfd, signal, NULL, 0): signals exactly the process
// behind pidfd, never a later process that reuses its pid.
int PidfdSendSignal(int pidfd, int signal) noexcept;
int Ioctl(int fd, unsigned long request, void* arg) noexcept;
// mmap of an anonymous read-write region (the child's stack); nullptr with
// errno on failure.
void* MapStack(size_t len) noexcept;
int UnmapStack(void* addr, size_t len) noexcept;
// glibc clone(fn, stack, flags, arg, pidfd): the child's pid, or -1 with errno.
pid_t Clone(int (*fn)(void*), void* stackTop, int flags, void* arg, int* pidfd) noexcept;

// pthread_create of a detached thread running fn(arg): 0 or an errno value.
int StartDetachedThread(void* (*fn)(void*), void* arg) noexcept;

}  // namespace sys
}  // namespace childspawn
