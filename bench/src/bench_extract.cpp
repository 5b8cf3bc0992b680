// Restore extraction fed by the host: extractXtraBackup starts xbstream -x
// on the host's child process, and the host writes a stream file to it in
// 1 MiB chunks, closes its input and waits.
//   bench_extract TOOL_DIR TARGET_DIR STREAM_FILE
// TARGET_DIR must exist and be empty. Prints bytes fed, seconds and peak RSS.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>

#include "BenchHost.h"

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: bench_extract TOOL_DIR TARGET_DIR STREAM_FILE\n");
    return 2;
  }
  int fd = ::open(argv[3], O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "bench_extract: cannot open %s: %s\n", argv[3], std::strerror(errno));
    return 1;
  }
  const size_t chunkBytes = 1 << 20;
  std::vector<char> buffer(chunkBytes);

  double start = bench::NowSeconds();
  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::mysqlDetails details;
  XtraBackup::XtraBackupUtil util(false, details, &child, argv[1]);
  CKaError result = util.extractXtraBackup(argv[2]);
  if (result.IsError()) {
    std::fprintf(stderr, "bench_extract: %s\n", result.AsString().c_str());
    return 1;
  }
  long long total = 0;
  for (;;) {
    ssize_t got = ::read(fd, buffer.data(), chunkBytes);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      std::fprintf(stderr, "bench_extract: read failed: %s\n", std::strerror(errno));
      return 1;
    }
    if (got == 0) break;
    if (child.WriteBuf(buffer.data(), static_cast<long>(got)) != 0) {
      std::fprintf(stderr, "bench_extract: write to xbstream failed, errno %d\n",
                   child.GetLastErrNo());
      return 1;
    }
    total += got;
  }
  ::close(fd);
  child.CloseInput();
  int status = child.Wait(0);
  double seconds = bench::NowSeconds() - start;
  std::printf("bytes=%lld seconds=%.3f peak_rss_kib=%ld status=%d\n", total, seconds,
              bench::PeakRssKiB(), status);
  return status == 0 ? 0 : 1;
}
