#pragma once

// What the system-call shim of the test build asks the test program. The
// shim is built into the test variant of the child-process library; these
// hooks are defined by the test program (Seam.cpp) and found at run time.

extern "C" {

enum XbSeamCall {
  kXbSeamRead,
  kXbSeamWrite,
  kXbSeamPipe2,
  kXbSeamOpen,
  kXbSeamClose,
  kXbSeamFcntl,
  kXbSeamPoll,
  kXbSeamWaitid,
  kXbSeamKill,
  kXbSeamIoctl,
  kXbSeamMapStack,
  kXbSeamClone,
  kXbSeamThread,
  kXbSeamCallCount
};

// Before a call: the errno to fail it with, or 0 to let it through.
__attribute__((visibility("default"))) int XbSeamBefore(int call);
// After a call that went through: its result (bytes for read and write).
__attribute__((visibility("default"))) void XbSeamAfter(int call, long result);

}  // extern "C"
