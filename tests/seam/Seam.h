#pragma once

// Fault injection at the system calls of the child-process library. Test
// programs that link the seam run against the test build of the library
// (lib/seam), whose system calls ask here before they are made.

#include <cstdint>

#include "seam/SeamHooks.h"

namespace xbtest {
namespace seam {

enum class Call {
  kRead = kXbSeamRead,
  kWrite = kXbSeamWrite,
  kPipe2 = kXbSeamPipe2,
  kOpen = kXbSeamOpen,
  kClose = kXbSeamClose,
  kFcntl = kXbSeamFcntl,
  kPoll = kXbSeamPoll,
  kWaitid = kXbSeamWaitid,
  kKill = kXbSeamKill,
  kIoctl = kXbSeamIoctl,
  kMapStack = kXbSeamMapStack,
  kClone = kXbSeamClone,
  kThread = kXbSeamThread,
};

// After `passing` more calls of `call` have gone through, the next `count`
// fail with err (before the real call is made).
void Fail(Call call, int err, int count = 1, int passing = 0);
// Once calls of `call` have moved `bytes` bytes, the next `count` fail.
void FailAfterBytes(Call call, int err, uint64_t bytes, int count = 1);
// Calls of `call` made (failed or not) since the last Reset.
uint64_t Calls(Call call);
// Injected failures of `call` still to come.
int Pending(Call call);
// No more failures; counters back to zero.
void Reset();

// Resets the seam when it goes out of scope.
struct ScopedSeam {
  ScopedSeam() { Reset(); }
  ~ScopedSeam() { Reset(); }
  ScopedSeam(const ScopedSeam&) = delete;
  ScopedSeam& operator=(const ScopedSeam&) = delete;
};

}  // namespace seam
}  // namespace xbtest
