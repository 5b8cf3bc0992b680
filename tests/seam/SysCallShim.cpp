// The spawn library's system-call wrappers for the test build: each call
// asks the test program whether to fail, then makes the real call.

#include "SysCalls.h"

#include <errno.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include "seam/SeamHooks.h"

namespace childspawn {
namespace sys {

namespace {

using CloneFn = int (*)(int (*)(void*), void*, int, void*, ...);

// The C library's own clone. A sanitizer runtime may interpose clone and
// treat every clone as a fork, which a CLONE_VM child would then apply to the
// host's own memory; this call is always the real one.
CloneFn LibcClone() noexcept {
  static const CloneFn fn = []() noexcept {
    CloneFn found = nullptr;
    if (void* libc = dlopen("libc.so.6", RTLD_NOW | RTLD_NOLOAD))
      found = reinterpret_cast<CloneFn>(dlsym(libc, "clone"));
    return found != nullptr ? found : &::clone;
  }();
  return fn;
}

}  // namespace

namespace {

// errno set and true when the test program fails this call.
bool Fails(XbSeamCall call) noexcept {
  const int err = XbSeamBefore(call);
  if (err == 0) return false;
  errno = err;
  return true;
}

template <typename T>
T Passed(XbSeamCall call, T result) noexcept {
  const int savedErrno = errno;
  XbSeamAfter(call, static_cast<long>(result));
  errno = savedErrno;
  return result;
}

}  // namespace

ssize_t Read(int fd, void* buf, size_t len) noexcept {
  if (Fails(kXbSeamRead)) return -1;
  return Passed(kXbSeamRead, ::read(fd, buf, len));
}
ssize_t Write(int fd, const void* buf, size_t len) noexcept {
  if (Fails(kXbSeamWrite)) return -1;
  return Passed(kXbSeamWrite, ::write(fd, buf, len));
}
int Pipe2(int fds[2], int flags) noexcept {
  if (Fails(kXbSeamPipe2)) return -1;
  return Passed(kXbSeamPipe2, ::pipe2(fds, flags));
}
int Open(const char* path, int flags) noexcept {
  if (Fails(kXbSeamOpen)) return -1;
  return Passed(kXbSeamOpen, ::open(path, flags));
}
int Close(int fd) noexcept {
  // As on Linux, the descriptor is released even when close reports EINTR.
  const int r = ::close(fd);
  if (Fails(kXbSeamClose)) return -1;
  return Passed(kXbSeamClose, r);
}
int Fcntl(int fd, int cmd, int arg) noexcept {
  if (Fails(kXbSeamFcntl)) return -1;
  return Passed(kXbSeamFcntl, ::fcntl(fd, cmd, arg));
}
int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) noexcept {
  if (Fails(kXbSeamPoll)) return -1;
  return Passed(kXbSeamPoll, ::poll(fds, count, timeoutMs));
}
int WaitPidfd(int pidfd, siginfo_t* info, int options) noexcept {
  if (Fails(kXbSeamWaitid)) return -1;
  return Passed(kXbSeamWaitid, ::waitid(static_cast<idtype_t>(kPidfdIdType),
                                        static_cast<id_t>(pidfd), info, options));
}
int Kill(pid_t pid, int signal) noexcept {
  if (Fails(kXbSeamKill)) return -1;
  return Passed(kXbSeamKill, ::kill(pid, signal));
}
int PidfdSendSignal(int pidfd, int signal) noexcept {
  if (Fails(kXbSeamKill)) return -1;
  return Passed(kXbSeamKill,
                static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u)));
}
int Ioctl(int fd, unsigned long request, void* arg) noexcept {
  if (Fails(kXbSeamIoctl)) return -1;
  return Passed(kXbSeamIoctl, ::ioctl(fd, request, arg));
}
void* MapStack(size_t len) noexcept {
  if (Fails(kXbSeamMapStack)) return nullptr;
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                   -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}
int UnmapStack(void* addr, size_t len) noexcept { return ::munmap(addr, len); }
int StartDetachedThread(void* (*fn)(void*), void* arg) noexcept {
  const int err = XbSeamBefore(kXbSeamThread);
  if (err != 0) return err;
  return Passed(kXbSeamThread, CreateDetached(fn, arg));
}

pid_t Clone(int (*fn)(void*), void* stackTop, int flags, void* arg, int* pidfd) noexcept {
  if (Fails(kXbSeamClone)) return -1;
  return Passed(kXbSeamClone, LibcClone()(fn, stackTop, flags, arg, pidfd));
}

}  // namespace sys
}  // namespace childspawn
