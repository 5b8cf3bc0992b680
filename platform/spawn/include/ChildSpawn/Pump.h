#pragma once

// Draining a child's output pipes while waiting for it to exit.

#include <cstddef>
#include <cstdint>
#include <mutex>

#include <ChildSpawn/Spawn.h>
#include <ChildSpawn/TailBuffer.h>

namespace childspawn {

// Reads what fd has available now into sink, at most maxBytes (bounds the
// call when a writer keeps up with us). On end of file or a read error the
// descriptor is closed and set to -1. scratch is caller-provided buffer space.
// Returns the number of bytes read.
size_t DrainAvailable(int* fd, TailBuffer* sink, char* scratch, size_t scratchLen,
                      size_t maxBytes) noexcept;

enum class PumpResult { kExited, kTimedOut };

// Waits for the child to exit while draining its stdout and stderr pipes into
// the sinks (a null sink discards). The child's exit is noticed through the
// pidfd, not through end of file, so a grandchild that inherited the pipes
// cannot hold the caller: once the child is gone, what the pipes hold is read
// (at most kFinalDrainBytes each) and the child is reaped through its pidfd.
// deadlineMs < 0 waits without limit. On kExited *rawStatus is set as by
// ReapChild, handles->pid is set to -1 and the pidfd closed (a child without
// a pidfd counts as gone, its status unknown). reapLock, when given, is held
// from the reaping until handles->pid is -1 and the pidfd closed, so that
// another thread signalling the child under the same lock never signals a
// reaped child; the reaping never blocks then, the child having exited.
PumpResult PumpUntilExit(ChildHandles* handles, TailBuffer* outSink, TailBuffer* errSink,
                         int64_t deadlineMs, int* rawStatus,
                         std::mutex* reapLock = nullptr) noexcept;

}  // namespace childspawn
