#pragma once

// The system calls the spawn library makes in the host, each through one
// thin wrapper. SysCalls.cpp forwards them to the system; the tests build
// the library with a shim in its place that can fail any of them on demand
// (EINTR, EAGAIN, ENOSPC, EMFILE...). Calls made in the child between clone
// and exec do not go through here: they must not touch the host's memory.

#include <poll.h>
#include <sys/types.h>

#include <cstddef>

namespace childspawn {
namespace sys {

ssize_t Read(int fd, void* buf, size_t len) noexcept;
ssize_t Write(int fd, const void* buf, size_t len) noexcept;
int Pipe2(int fds[2], int flags) noexcept;
int Open(const char* path, int flags) noexcept;
int Close(int fd) noexcept;
int Fcntl(int fd, int cmd, int arg) noexcept;
int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) noexcept;
pid_t Waitpid(pid_t pid, int* status, int options) noexcept;
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

}  // namespace sys
}  // namespace childspawn
