#pragma once

// Messages of xbagent and of the utility library.
//
// Verbosity: -q shows errors only; the default adds notices (what was done);
// -v adds details and the library's own log; -vv the library's debug log and
// every line the backup tool writes; -vvv everything.
//
// Errors and notices always go to standard error. Details and the library's
// log go to the --log file when one is given, else to standard error. Log
// text is buffered (a per-chunk line costs a memory copy, not a system call)
// and flushed before every notice or error, when the buffer fills, every half
// second while lines come, and at exit.

#include <string>

#include <XtraBackup/XtraBackupUtil.h>

namespace xbagent {

enum class Verbosity { kQuiet = 0, kNormal = 1, kVerbose = 2, kDebug = 3, kTrace = 4 };

class AgentLog : public CLogWriterInterface {
 public:
  AgentLog();
  ~AgentLog() override;
  AgentLog(const AgentLog&) = delete;
  AgentLog& operator=(const AgentLog&) = delete;

  // Where details go and how many. Throws Failure when the log file cannot be
  // opened.
  void Configure(Verbosity verbosity, const std::string& logFile);
  // What standard error shows (-q, default, -v...).
  Verbosity verbosity() const { return verbosity_; }

  // The library's entry points.
  void WriteLog(int nLevel, const char* pszFunction, unsigned int nLine, int nReserved1,
                int nReserved2, const char* pszFormat, ...) override
      __attribute__((format(printf, 7, 8)));
  int GetLogLevel() override { return libraryLevel_; }

  // xbagent's own messages.
  void Error(const std::string& text);
  void Notice(const std::string& text);
  void Detail(Verbosity level, const std::string& text);
  bool Wants(Verbosity level) const { return detailLevel_ >= level; }

  // A line redrawn in place on a terminal (progress); Clear erases it.
  void Status(const std::string& text);
  void ClearStatus();

  void Flush();

 private:
  void Append(const std::string& line);
  void WriteStderr(const std::string& text);

  Verbosity verbosity_ = Verbosity::kNormal;
  // Details wanted in the log: the verbosity, but at least kVerbose when the
  // log is a file.
  Verbosity detailLevel_ = Verbosity::kNormal;
  int libraryLevel_ = -100;
  int logFd_ = 2;
  bool ownsLogFd_ = false;
  bool statusShown_ = false;
  std::string buffer_;
  double lastFlush_ = 0;
};

// The process's one log; main installs LogHandle() as g_ptrLogWriter.
AgentLog& Log();
boost::shared_ptr<CLogWriterInterface> LogHandle();

}  // namespace xbagent
