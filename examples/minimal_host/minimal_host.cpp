// A tiny host of libXtraBackupUtil: it defines the log writer the library
// writes to, creates the utility object, prints the on-disk name of a
// database name and, given a backup directory, its binary-log coordinates.
//
//   minimal_host [NAME [BACKUP_DIR]]
#include <cstdarg>
#include <cstdio>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#if XTRABACKUP_UTIL_VERSION_MAJOR != 1
#error "this host is written for libXtraBackupUtil 1.x"
#endif

namespace {

// Prints every message the library logs at level 3 or below.
class StderrLogWriter : public CLogWriterInterface {
 public:
  void WriteLog(int nLevel, const char* pszFunction, unsigned int nLine, int, int,
                const char* pszFormat, ...) override {
    std::fprintf(stderr, "[%d] %s:%u: ", nLevel, pszFunction, nLine);
    va_list args;
    va_start(args, pszFormat);
    std::vfprintf(stderr, pszFormat, args);
    va_end(args);
    std::fputc('\n', stderr);
  }
  int GetLogLevel() override { return 3; }
};

}  // namespace

// The library reads this handle before every log call.
boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

int main(int argc, char** argv) {
  g_ptrLogWriter.reset(new StderrLogWriter);

  XtraBackup::XtraBackupUtil util;
  CKaError error = util.initialize();
  if (error.IsError()) {
    std::fprintf(stderr, "initialize failed: %s\n", error.AsString().c_str());
    return 1;
  }
  std::printf("libXtraBackupUtil %d.%d.%d\n", XTRABACKUP_UTIL_VERSION_MAJOR,
              XTRABACKUP_UTIL_VERSION_MINOR, XTRABACKUP_UTIL_VERSION_PATCH);

  std::string name = argc > 1 ? argv[1] : "my-db";
  std::string onDisk;
  util.convertSpecialCharsToHexChars(name, onDisk);
  std::printf("%s is stored as %s\n", name.c_str(), onDisk.c_str());

  if (argc > 2) {
    long file = 0;
    long position = 0;
    error = util.populateLogData(&file, &position, argv[2]);
    if (error.IsError()) {
      std::fprintf(stderr, "no binary-log coordinates: %s\n", error.AsString().c_str());
      return 1;
    }
    std::printf("binary log file %ld, position %ld\n", file, position);
  }
  return 0;
}
