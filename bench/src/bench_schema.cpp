// getSchemaDataForXtrabackup of a command with a large output.
//   bench_schema COMMAND
// Prints the bytes captured, seconds and peak RSS.

#include <cstdio>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "BenchHost.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_schema COMMAND\n");
    return 2;
  }
  XtraBackup::XtraBackupUtil util;
  std::string output;
  double start = bench::NowSeconds();
  CKaError result = util.getSchemaDataForXtrabackup(argv[1], output);
  double seconds = bench::NowSeconds() - start;
  if (result.IsError()) {
    std::fprintf(stderr, "bench_schema: %s\n", result.AsString().c_str());
    return 1;
  }
  std::printf("bytes=%zu seconds=%.3f peak_rss_kib=%ld\n", output.size(), seconds,
              bench::PeakRssKiB());
  return 0;
}
