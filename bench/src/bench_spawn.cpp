// Start cost of ZuProcess::system and MySqlChildProcess in a host holding a
// given amount of touched memory.
//   bench_spawn GIB RUNS
// Prints the mean milliseconds per start-and-wait of each.

#include <cstdio>
#include <cstdlib>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>
#include <ZuLib/ZuProcess.h>

#include "BenchHost.h"

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: bench_spawn GIB RUNS\n");
    return 2;
  }
  double gib = std::atof(argv[1]);
  int runs = std::atoi(argv[2]);
  void* ballast = gib > 0 ? bench::TouchMemory(static_cast<size_t>(gib * (1ull << 30))) : nullptr;
  if (gib > 0 && ballast == nullptr) {
    std::fprintf(stderr, "bench_spawn: cannot allocate %.1f GiB\n", gib);
    return 1;
  }

  double start = bench::NowSeconds();
  for (int i = 0; i < runs; ++i) {
    std::string out;
    std::string err;
    if (ZuProcess::system("true", &out, &err, 0, false) != 0) return 1;
  }
  double systemMs = (bench::NowSeconds() - start) * 1000 / runs;

  start = bench::NowSeconds();
  for (int i = 0; i < runs; ++i) {
    LibMySqlProcess::MySqlChildProcess child;
    if (child.Initialize("true", "", "") != 0 || child.ZU_CreateProcess(true, false, false, false))
      return 1;
    if (child.Wait(0) != 0) return 1;
  }
  double childMs = (bench::NowSeconds() - start) * 1000 / runs;

  std::printf("gib=%.1f system_ms=%.3f child_ms=%.3f rss_kib=%ld\n", gib, systemMs, childMs,
              bench::PeakRssKiB());
  std::free(ballast);
  return 0;
}
