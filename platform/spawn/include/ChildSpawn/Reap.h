#pragma once

// Learning that a child exited, and reaping it.

#include <sys/types.h>

#include <ChildSpawn/Spawn.h>

namespace childspawn {

// Reaps exactly this child with waitpid(pid, __WALL) (never -1).
//   returns 1: the child is gone; *rawStatus holds its wait status
//   returns 0: the child still runs (only when block is false)
// When someone else took the child (a host that ignores SIGCHLD, or reaps
// with waitpid(-1)), the status comes from the kernel through pidfd
// (PIDFD_GET_INFO, Linux 6.15 and later); -1 when that is not possible.
int ReapChild(pid_t pid, int pidfd, bool block, int* rawStatus) noexcept;

// Exit status for a raw wait status: the exit code, 128 + signal number when
// a signal ended the child, -1 when unknown.
int ExitCodeFromStatus(int rawStatus) noexcept;

// Whether the child behind pidfd has exited (poll without waiting).
bool PidfdSignalsExit(int pidfd) noexcept;

}  // namespace childspawn
