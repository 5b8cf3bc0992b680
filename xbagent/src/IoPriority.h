#pragma once

// The calling thread's I/O priority (ioprio_get, ioprio_set). The values are
// the kernel's ABI. <linux/ioprio.h> is not included: newer versions of it
// define an inline function with a parameter named `class`, which does not
// compile as C++.

#include <sys/syscall.h>
#include <unistd.h>

namespace xbagent::ioprio {

constexpr int kWhoProcess = 1;  // with who = 0: the calling thread
constexpr int kClassNone = 0;
constexpr int kClassBestEffort = 2;
constexpr int kClassIdle = 3;

// A class and a level (0 highest to 7 lowest) as one priority value.
constexpr int Value(int ioClass, int level) { return (ioClass << 13) | level; }

// This thread's priority, or -1 where the kernel refuses to tell.
inline int OfThisThread() { return static_cast<int>(::syscall(SYS_ioprio_get, kWhoProcess, 0)); }

inline bool SetForThisThread(int value) {
  return ::syscall(SYS_ioprio_set, kWhoProcess, 0, value) == 0;
}

}  // namespace xbagent::ioprio
