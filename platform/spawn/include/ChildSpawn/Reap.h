#pragma once

// Learning that a child exited, and reaping it.

#include <sys/types.h>

#include <ChildSpawn/Spawn.h>

namespace childspawn {

// Reaps exactly the child behind pidfd with waitid(P_PIDFD, pidfd, __WALL),
// never by its pid: once someone else has reaped the child, its pid may
// already name another child of the host, whose status is not ours to take.
//   returns 1: the child is gone; *rawStatus holds its wait status
//   returns 0: the child still runs (only when block is false)
// When someone else took the child (a host that ignores SIGCHLD, or reaps
// with waitpid(-1)), the status comes from the kernel through the pidfd
// (PIDFD_GET_INFO, Linux 6.15 and later); -1 when that is not possible, and
// for pidfd -1.
int ReapChild(int pidfd, bool block, int* rawStatus) noexcept;

// Exit status for a raw wait status: the exit code, 128 + signal number when
// a signal ended the child, -1 when unknown.
int ExitCodeFromStatus(int rawStatus) noexcept;

// Whether the child behind pidfd has exited (poll without waiting).
bool PidfdSignalsExit(int pidfd) noexcept;

// Takes over pidfd, of a child that may still run, and reaps the child once
// it exits: on a detached thread of its own that blocks every signal, or,
// when no thread can be started (the host is at its process or memory
// limit), at the next ReapOrphans after the exit.
void ReapInBackground(int pidfd) noexcept;

// Reaps, without waiting, every child handed to ReapInBackground that no
// thread was started for and that has exited since.
void ReapOrphans() noexcept;

}  // namespace childspawn
