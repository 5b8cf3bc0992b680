#pragma once

#include <zuMySqlChildProcess/FaultInjection.h>

namespace LibMySqlProcess {
namespace testing {

// The errno of an injected failure for this call at `point`, or 0.
int TakeInjectedFault(FaultPoint point);

}  // namespace testing
}  // namespace LibMySqlProcess
