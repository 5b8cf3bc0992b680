// Restore verification and extraction as xbagent restores do them: the
// stream file's size and SHA-256 checked against the expected ones while
// xbstream -x extracts it (VerifyAndExtractStream).
//   bench_verify_extract TOOL_DIR TARGET_DIR STREAM_FILE SHA256
// TARGET_DIR must exist and be empty. Prints bytes, seconds and peak RSS.

#include <sys/resource.h>

#include <cstdio>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "Commands.h"
#include "Common.h"
#include "Extract.h"
#include "Fs.h"

namespace xbagent {
// No signal handling here: a benchmark run is never asked to stop.
bool StopRequested() { return false; }
}  // namespace xbagent

namespace {

double Now() { return xbagent::MonotonicSeconds(); }

long PeakRssKiB() {
  struct rusage usage;
  return ::getrusage(RUSAGE_SELF, &usage) == 0 ? usage.ru_maxrss : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    std::fprintf(stderr, "usage: bench_verify_extract TOOL_DIR TARGET_DIR STREAM_FILE SHA256\n");
    return 2;
  }
  const double start = Now();
  try {
    xbagent::ManifestSummary manifest;
    manifest.streamSize = xbagent::FileSize(argv[3]);
    manifest.streamSha256 = argv[4];
    LibMySqlProcess::MySqlChildProcess child;
    XtraBackup::mysqlDetails details;
    XtraBackup::XtraBackupUtil util(false, details, &child, argv[1]);
    util.bFullServerXtrabackup = true;
    CKaError status = util.initialize();
    if (status.IsError()) xbagent::Fail("initialize: " + status.AsString());
    xbagent::VerifyAndExtractStream(util, child, manifest, argv[3], argv[2]);
    std::printf("bytes=%llu seconds=%.3f peak_rss_kib=%ld\n",
                static_cast<unsigned long long>(manifest.streamSize),
                Now() - start, PeakRssKiB());
  } catch (const xbagent::Failure& failure) {
    std::fprintf(stderr, "bench_verify_extract: %s\n", failure.what());
    return 1;
  }
  return 0;
}
