#pragma once

// Child process spawning shared by the platform libraries.
//
// Children run `/bin/sh -c COMMAND` and are started with posix_spawn (glibc
// uses clone(CLONE_VM|CLONE_VFORK), so the host's memory is never copied and
// no fork handlers run). Every helper here reports failure through its return
// value and errno; nothing throws.

#include <poll.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <ChildSpawn/TailBuffer.h>

namespace childspawn {

// Where one of the child's standard streams comes from or goes to.
enum class StreamMode {
  kInherit,   // the host's descriptor (/dev/null if the host has it closed)
  kPipe,      // a pipe to the host
  kDevNull,   // /dev/null
  kToStdout,  // standard error only: the same place as standard output
};

struct SpawnRequest {
  std::string command;                // run as /bin/sh -c command
  std::string workDir;                // empty: the host's current directory
  std::vector<std::string> extraEnv;  // "NAME=value", added or replacing
  StreamMode stdinMode = StreamMode::kInherit;
  StreamMode stdoutMode = StreamMode::kInherit;
  StreamMode stderrMode = StreamMode::kInherit;
  bool newProcessGroup = false;  // child leads a process group of its own
  bool largePipes = false;  // grow the stdin and stdout pipes for bulk transfer
};

// The host's side of a started child. Pipe descriptors are close-on-exec and
// nonblocking; -1 where the stream is not a pipe.
struct ChildHandles {
  pid_t pid = -1;
  int pidfd = -1;  // readable once the child has exited; -1 if unavailable
  int stdinFd = -1;
  int stdoutFd = -1;
  int stderrFd = -1;
};

// Starts the child. Returns 0 and fills *out, or an errno value (no child
// runs and no descriptor is left open).
int Spawn(const SpawnRequest& request, ChildHandles* out) noexcept;

// Closes fd if it is open and sets it to -1.
void CloseFd(int* fd) noexcept;

// Closes every descriptor of *handles (the child itself is left alone).
void CloseAll(ChildHandles* handles) noexcept;

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

// Reaps exactly this child with waitpid(pid) (never -1).
//   returns 1: the child is gone; *rawStatus holds its wait status, or -1
//              when it was reaped by the system (the host ignores SIGCHLD)
//   returns 0: the child still runs (only when block is false)
int ReapChild(pid_t pid, bool block, int* rawStatus) noexcept;

// Exit status for a raw wait status: the exit code, 128 + signal number when
// a signal ended the child, -1 when unknown.
int ExitCodeFromStatus(int rawStatus) noexcept;

// Whether the child behind pidfd has exited (poll without waiting).
bool PidfdSignalsExit(int pidfd) noexcept;

// Reads what fd has available now into sink, at most maxBytes (bounds the
// call when a writer keeps up with us). On end of file or a read error the
// descriptor is closed and set to -1. scratch is caller-provided buffer space.
// Returns the number of bytes read.
size_t DrainAvailable(int* fd, TailBuffer* sink, char* scratch, size_t scratchLen,
                      size_t maxBytes) noexcept;

enum class PumpResult { kExited, kTimedOut };

// Waits for the child to exit while draining its stdout and stderr pipes into
// the sinks (a null sink discards). The child's exit is noticed through the
// pidfd (or by polling waitpid when there is none), not through end of file,
// so a grandchild that inherited the pipes cannot hold the caller: once the
// child is gone, what the pipes hold is read and the child is reaped.
// deadlineMs < 0 waits without limit. On kExited *rawStatus is set as by
// ReapChild and handles->pid is set to -1.
PumpResult PumpUntilExit(ChildHandles* handles, TailBuffer* outSink, TailBuffer* errSink,
                         int64_t deadlineMs, int* rawStatus) noexcept;

// Size of the scratch space the drain helpers use by default.
constexpr size_t kScratchBytes = 128 * 1024;

// Largest amount drained from one pipe after the child is known to have
// exited: what it wrote is at most a pipe's capacity; more can only come
// from a grandchild still writing, which must not keep the caller.
constexpr size_t kFinalDrainBytes = 4 * 1024 * 1024;

}  // namespace childspawn
