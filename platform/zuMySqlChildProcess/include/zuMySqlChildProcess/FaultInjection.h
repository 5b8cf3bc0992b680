#pragma once

// A seam for tests of callers' error paths: failures of MySqlChildProcess
// reads that a real child cannot be made to produce (EAGAIN from a blocking
// read, EPIPE, EIO). Nothing happens unless a test injects a fault.

#include <zuMySqlChildProcess/MySqlChildProcess.h>

namespace LibMySqlProcess {
namespace testing {

enum class FaultPoint { ReadBuf, ReadErrBuf };

// After `nPassing` calls at `point` have gone through, the next `nCount` calls,
// on any object of the process, fail with `nErrNo` (returned through
// GetLastErrNo) before touching the child.
ZUMYSQLCHILDPROCESS_API void InjectFault(FaultPoint point, int nErrNo, int nCount = 1,
                                         int nPassing = 0);
ZUMYSQLCHILDPROCESS_API void ClearFaults();

}  // namespace testing
}  // namespace LibMySqlProcess
