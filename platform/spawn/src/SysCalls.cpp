#include "SysCalls.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

ssize_t Read(int fd, void* buf, size_t len) noexcept { return ::read(fd, buf, len); }
ssize_t Write(int fd, const void* buf, size_t len) noexcept { return ::write(fd, buf, len); }
int Pipe2(int fds[2], int flags) noexcept { return ::pipe2(fds, flags); }
int Open(const char* path, int flags) noexcept { return ::open(path, flags); }
int Close(int fd) noexcept { return ::close(fd); }
int Fcntl(int fd, int cmd, int arg) noexcept { return ::fcntl(fd, cmd, arg); }
int Poll(struct pollfd* fds, nfds_t count, int timeoutMs) noexcept {
  return ::poll(fds, count, timeoutMs);
}
int WaitPidfd(int pidfd, siginfo_t* info, int options) noexcept {
  return ::waitid(static_cast<idtype_t>(kPidfdIdType), static_cast<id_t>(pidfd), info, options);
}
int Kill(pid_t pid, int signal) noexcept { return ::kill(pid, signal); }
int PidfdSendSignal(int pidfd, int signal) noexcept {
  return static_cast<int>(::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u));
}
int Ioctl(int fd, unsigned long request, void* arg) noexcept { return ::ioctl(fd, request, arg); }

void* MapStack(size_t len) noexcept {
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK,
                   -1, 0);
  return p == MAP_FAILED ? nullptr : p;
}
int UnmapStack(void* addr, size_t len) noexcept { return ::munmap(addr, len); }

int StartDetachedThread(void* (*fn)(void*), void* arg) noexcept {
  return CreateDetached(fn, arg);
}

pid_t Clone(int (*fn)(void*), void* stackTop, int flags, void* arg, int* pidfd) noexcept {
  return LibcClone()(fn, stackTop, flags, arg, pidfd);
}

}  // namespace sys
}  // namespace childspawn
