#pragma once

// Signalling a child and everything it started.

#include <ChildSpawn/Spawn.h>

namespace childspawn {

// Sends signal to the child and to everything it started: its process group
// when it leads one, otherwise the child and its descendants (found through
// /proc; a process that exits meanwhile and whose pid is reused at once could
// be signalled in its place). The child must not have been reaped by the
// caller, nor be reaped while this runs; with a pidfd the child itself is
// signalled through it (pidfd_send_signal), so a child that the host reaped
// behind the caller's back gives ESRCH instead of signalling whoever reuses
// its pid. Returns 0 or an errno.
int SignalChildTree(const ChildHandles& handles, int signal) noexcept;

}  // namespace childspawn
