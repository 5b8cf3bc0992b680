#include "seam/Seam.h"

#include <mutex>

namespace {

struct Rule {
  int err = 0;
  int passing = 0;
  int remaining = 0;
  bool byBytes = false;
  uint64_t bytesLeft = 0;
  uint64_t calls = 0;
};

std::mutex g_mutex;
Rule g_rules[kXbSeamCallCount];

Rule* RuleFor(int call) {
  return call >= 0 && call < kXbSeamCallCount ? &g_rules[call] : nullptr;
}

}  // namespace

extern "C" int XbSeamBefore(int call) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Rule* rule = RuleFor(call);
  if (rule == nullptr) return 0;
  ++rule->calls;
  if (rule->remaining <= 0) return 0;
  if (rule->byBytes ? rule->bytesLeft > 0 : rule->passing > 0) {
    if (!rule->byBytes) --rule->passing;
    return 0;
  }
  --rule->remaining;
  return rule->err;
}

extern "C" void XbSeamAfter(int call, long result) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Rule* rule = RuleFor(call);
  if (rule == nullptr || !rule->byBytes || result <= 0) return;
  const uint64_t moved = static_cast<uint64_t>(result);
  rule->bytesLeft = moved >= rule->bytesLeft ? 0 : rule->bytesLeft - moved;
}

namespace xbtest {
namespace seam {

void Fail(Call call, int err, int count, int passing) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Rule& rule = g_rules[static_cast<int>(call)];
  rule.err = err;
  rule.remaining = count;
  rule.passing = passing;
  rule.byBytes = false;
}

void FailAfterBytes(Call call, int err, uint64_t bytes, int count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  Rule& rule = g_rules[static_cast<int>(call)];
  rule.err = err;
  rule.remaining = count;
  rule.byBytes = true;
  rule.bytesLeft = bytes;
}

uint64_t Calls(Call call) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_rules[static_cast<int>(call)].calls;
}

int Pending(Call call) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_rules[static_cast<int>(call)].remaining;
}

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (Rule& rule : g_rules) rule = Rule();
}

}  // namespace seam
}  // namespace xbtest
