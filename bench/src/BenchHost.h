#pragma once

// What every benchmark host shares: the log writer handle (none: benchmarks
// measure the work, not logging) and small timing and memory helpers.

#include <cstddef>
#include <string>

namespace bench {

double NowSeconds();
// Peak resident set size of this process so far, in KiB (VmHWM).
long PeakRssKiB();
// Allocates `bytes` and writes every page, so it is resident.
void* TouchMemory(size_t bytes);
std::string ShellQuote(const std::string& value);

}  // namespace bench
