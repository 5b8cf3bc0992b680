#pragma once

// Tuning constants of child-process I/O, one copy each.

#include <cstddef>

namespace childspawn {

// Scratch space the drain helpers read into.
constexpr size_t kScratchBytes = 128 * 1024;

// Most read from one pipe per wakeup while the child runs, so that one busy
// pipe cannot starve the other.
constexpr size_t kDrainPerWake = 1024 * 1024;

// Most read from one pipe once the child is known to have exited: what it
// wrote is at most a pipe's capacity; more can only come from a descendant
// still writing, which must not keep the caller.
constexpr size_t kFinalDrainBytes = 4 * 1024 * 1024;

// Without a pidfd, waits wake this often to look for the child's exit.
constexpr int kExitPollMs = 20;

// Pipe size for bulk transfer (capped by /proc/sys/fs/pipe-max-size), and
// the smaller size tried when the user's pipe-buffer quota refuses it.
constexpr int kBulkPipeBytes = 1024 * 1024;
constexpr int kBulkPipeFallbackBytes = 256 * 1024;

// First allocation of a tail buffer; it doubles from there.
constexpr size_t kTailBufferFirstBytes = 64 * 1024;

}  // namespace childspawn
