#pragma once

// Starting a child: `/bin/sh -c -- COMMAND`.
//
// The child is created with clone(CLONE_VM | CLONE_VFORK | CLONE_PIDFD), then
// execs the shell. Like posix_spawn, the host's memory is never copied and no
// fork handlers run, so a start costs the same in a large host. The pidfd is
// made with the child, before anyone can reap it: a host that ignores SIGCHLD
// or reaps with waitpid(-1) takes the child, but ReapChild still learns its
// status through the pidfd. The exit signal is 0 until exec (exec makes it
// SIGCHLD), so a child that fails before exec is never the host's to see.
//
// In the child: standard streams as requested, every other descriptor of the
// host closed, every signal at its default disposition and unblocked, and a
// process group of its own when asked. A failed exec is reported to the
// caller as an errno value, after the failed child has been reaped.

#include <sys/types.h>

#include <string>
#include <vector>

namespace childspawn {

// Where one of the child's standard streams comes from or goes to.
enum class StreamMode {
  kInherit,   // the host's descriptor (/dev/null if the host has it closed)
  kPipe,      // a pipe to the host
  kDevNull,   // /dev/null
  kToStdout,  // standard error only: the same place as standard output
  kGiven,     // standard input or output: a copy of SpawnRequest::givenStdinFd/givenStdoutFd
};

struct SpawnRequest {
  std::string command;                // run as /bin/sh -c -- command
  std::string workDir;                // empty: the host's current directory
  std::vector<std::string> extraEnv;  // "NAME=value", added or replacing
  StreamMode stdinMode = StreamMode::kInherit;
  StreamMode stdoutMode = StreamMode::kInherit;
  StreamMode stderrMode = StreamMode::kInherit;
  int givenStdinFd = -1;   // with stdinMode kGiven: the host's descriptor (left open)
  int givenStdoutFd = -1;  // with stdoutMode kGiven: the host's descriptor (left open)
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
  bool ownGroup = false;  // the child leads process group `pid`
};

// Starts the child. Returns 0 and fills *out, or an errno value (no child
// runs and no descriptor is left open).
int Spawn(const SpawnRequest& request, ChildHandles* out) noexcept;

// Closes every descriptor of *handles (the child itself is left alone).
void CloseAll(ChildHandles* handles) noexcept;

}  // namespace childspawn
