// Restore extraction by a host: extractXtraBackup starts xbstream -x on the
// host's child process, and the host writes a stream file to it in 1 MiB
// chunks, closes its input and waits. With "file", the host gives the tool
// the open file as its standard input instead (SetStdinDescriptor), as
// xbagent restore does with a plain stream file, and waits.
//   bench_extract TOOL_DIR TARGET_DIR STREAM_FILE [file]
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
    std::fprintf(stderr, "usage: bench_extract TOOL_DIR TARGET_DIR STREAM_FILE [file]\n");
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
  const bool givenFile = argc > 4 && std::strcmp(argv[4], "file") == 0;
  if (givenFile && child.SetStdinDescriptor(fd) != 0) {
    std::fprintf(stderr, "bench_extract: cannot give the file as input\n");
    return 1;
  }
  CKaError result = util.extractXtraBackup(argv[2]);
  if (result.IsError()) {
    std::fprintf(stderr, "bench_extract: %s\n", result.AsString().c_str());
    return 1;
  }
  long long total = 0;
  while (!givenFile) {
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
  child.CloseInput();
  int status = child.Wait(0);
  if (givenFile) total = ::lseek(fd, 0, SEEK_CUR);
  ::close(fd);
  double seconds = bench::NowSeconds() - start;
  std::printf("bytes=%lld seconds=%.3f peak_rss_kib=%ld status=%d\n", total, seconds,
              bench::PeakRssKiB(), status);
  return status == 0 ? 0 : 1;
}
