#include "Progress.h"

#include <cstdio>
#include <utility>

#include <unistd.h>

#include "Common.h"
#include "Log.h"

namespace xbagent {

Progress::Progress(std::string label, uint64_t total)
    : label_(std::move(label)),
      total_(total),
      enabled_(::isatty(2) == 1 && Log().verbosity() != Verbosity::kQuiet),
      start_(MonotonicSeconds()),
      lastDraw_(start_) {}

Progress::~Progress() { Done(); }

void Progress::MaybeDraw(uint64_t bytes) {
  double now = MonotonicSeconds();
  if (now - lastDraw_ < 0.25) return;
  lastDraw_ = now;
  double elapsed = now - start_;
  double rate = elapsed > 0.05 ? static_cast<double>(bytes) / elapsed : 0.0;
  std::string line = label_ + ": " + HumanBytes(bytes);
  if (total_ > 0) {
    char percent[32];
    std::snprintf(percent, sizeof percent, " of %s (%.0f%%)", HumanBytes(total_).c_str(),
                  100.0 * static_cast<double>(bytes) / static_cast<double>(total_));
    line += percent;
  }
  line += "  " + HumanBytes(static_cast<uint64_t>(rate)) + "/s  " + HumanSeconds(elapsed);
  Log().Status(line);
}

void Progress::Done() {
  if (enabled_) Log().ClearStatus();
  enabled_ = false;
}

}  // namespace xbagent
