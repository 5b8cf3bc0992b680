#include <zuMySqlChildProcess/FaultInjection.h>

#include <atomic>

#include "FaultInjectionInternal.h"

namespace LibMySqlProcess {
namespace testing {

namespace {

struct Fault {
  std::atomic<int> passing{0};
  std::atomic<int> remaining{0};
  std::atomic<int> errNo{0};
};

Fault g_faults[2];

Fault& At(FaultPoint point) { return g_faults[point == FaultPoint::ReadBuf ? 0 : 1]; }

}  // namespace

void InjectFault(FaultPoint point, int nErrNo, int nCount, int nPassing) {
  Fault& fault = At(point);
  fault.errNo.store(nErrNo);
  fault.passing.store(nPassing);
  fault.remaining.store(nCount);
}

void ClearFaults() {
  for (Fault& fault : g_faults) {
    fault.remaining.store(0);
    fault.passing.store(0);
  }
}

int TakeInjectedFault(FaultPoint point) {
  Fault& fault = At(point);
  if (fault.remaining.load(std::memory_order_relaxed) <= 0) return 0;
  if (fault.passing.load() > 0 && fault.passing.fetch_sub(1) > 0) return 0;
  if (fault.remaining.fetch_sub(1) <= 0) return 0;
  return fault.errNo.load();
}

}  // namespace testing
}  // namespace LibMySqlProcess
