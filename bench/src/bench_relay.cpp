// Reads a command's standard output through MySqlChildProcess::ReadBuf the
// way a host relays a backup stream, and discards it.
//   bench_relay COMMAND [BUFFER_BYTES]
// Prints bytes relayed, seconds and peak RSS.

#include <cstdio>
#include <cstdlib>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>

#include "BenchHost.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_relay COMMAND [BUFFER_BYTES]\n");
    return 2;
  }
  long bufferBytes = argc > 2 ? std::atol(argv[2]) : 1 << 20;
  std::vector<char> buffer(static_cast<size_t>(bufferBytes));

  double start = bench::NowSeconds();
  LibMySqlProcess::MySqlChildProcess child;
  if (child.Initialize(argv[1], "", "") != 0 || child.ZU_CreateProcess(true, false, false, false)) {
    std::fprintf(stderr, "bench_relay: cannot start the command\n");
    return 1;
  }
  long long total = 0;
  for (;;) {
    long length = bufferBytes;
    if (child.ReadBuf(buffer.data(), &length) != 0) {
      if (child.GetLastErrNo() == 11) continue;
      std::fprintf(stderr, "bench_relay: read failed, errno %d\n", child.GetLastErrNo());
      return 1;
    }
    if (length == 0) break;
    total += length;
  }
  int status = child.Wait(0);
  double seconds = bench::NowSeconds() - start;
  std::printf("bytes=%lld seconds=%.3f peak_rss_kib=%ld status=%d\n", total, seconds,
              bench::PeakRssKiB(), status);
  return status == 0 ? 0 : 1;
}
