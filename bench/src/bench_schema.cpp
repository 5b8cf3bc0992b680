// getSchemaDataForXtrabackup of a command with a large output.
//   bench_schema COMMAND [LOG_LEVEL]
// With LOG_LEVEL, a log writer at that level formats every message it is
// given (into a buffer, then dropped), as a host writing a log file would:
// that shows what the runner's log line per 1023-byte chunk costs.
// Prints the bytes captured, seconds, peak RSS and the messages formatted.

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "BenchHost.h"

namespace {

class FormattingLogWriter : public CLogWriterInterface {
 public:
  explicit FormattingLogWriter(int level) : level_(level) {}
  void WriteLog(int, const char*, unsigned int, int, int, const char* format, ...) override {
    char line[4096];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    ++messages_;
  }
  int GetLogLevel() override { return level_; }
  long Messages() const { return messages_; }

 private:
  int level_;
  long messages_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_schema COMMAND [LOG_LEVEL]\n");
    return 2;
  }
  FormattingLogWriter* writer = nullptr;
  if (argc > 2) {
    writer = new FormattingLogWriter(std::atoi(argv[2]));
    g_ptrLogWriter.reset(writer);
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
  std::printf("bytes=%zu seconds=%.3f peak_rss_kib=%ld messages=%ld\n", output.size(), seconds,
              bench::PeakRssKiB(), writer ? writer->Messages() : 0L);
  return 0;
}
