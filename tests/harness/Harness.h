#pragma once

// Shared test harness: a recording log writer installed as the host's
// g_ptrLogWriter, temporary directories and settings files, fake tool
// scripts that record how they were called, and the throwaway server's
// coordinates.

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>

namespace xbtest {

struct LogEntry {
  int level;
  std::string function;
  unsigned int line;
  std::string text;  // the formatted message
};

// Records every write; reports a settable level (default 5: everything).
class RecordingLogWriter : public CLogWriterInterface {
 public:
  void WriteLog(int nLevel, const char* pszFunction, unsigned int nLine, int nReserved1,
                int nReserved2, const char* pszFormat, ...) override
      __attribute__((format(printf, 7, 8)));
  int GetLogLevel() override;

  void SetLevel(int level);
  std::vector<LogEntry> Entries() const;
  // Entries whose text equals `text`.
  std::vector<LogEntry> Find(const std::string& text) const;
  // Entries whose text contains `part`.
  std::vector<LogEntry> FindContaining(const std::string& part) const;
  int LevelQueries() const;
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::vector<LogEntry> entries_;
  int level_ = 5;
  int levelQueries_ = 0;
};

// Installs a fresh RecordingLogWriter as g_ptrLogWriter for its lifetime.
class ScopedLogWriter {
 public:
  ScopedLogWriter();
  ~ScopedLogWriter();
  RecordingLogWriter& operator*() { return *writer_; }
  RecordingLogWriter* operator->() { return writer_.get(); }

 private:
  boost::shared_ptr<RecordingLogWriter> writer_;
  boost::shared_ptr<CLogWriterInterface> previous_;
};

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "xbtest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A settings file pointed at by XTRABACKUP_UTIL_SETTINGS for its lifetime.
class ScopedSettings {
 public:
  ScopedSettings();  // an empty file
  ~ScopedSettings();
  void Write(const std::string& content);  // whole INI text
  void SetMySql(const std::string& key, const std::string& value);  // rewrites [MySQL]
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_;
  std::vector<std::pair<std::string, std::string>> values_;
  std::string previous_;
  bool hadPrevious_;
};

// An executable script at dir/name that records its arguments (NUL-separated
// in dir/name.args, appended per call as one record per line of
// dir/name.calls), optionally saves its stdin to dir/name.stdin, writes the
// given text to stdout and stderr, and exits with the given status.
struct FakeTool {
  std::string stdoutText;
  std::string stderrText;
  int exitStatus = 0;
  bool saveStdin = false;
  std::string extraShell;  // shell code run before exiting

  void Install(const std::string& dir, const std::string& name) const;
  // The arguments of the last call.
  static std::vector<std::string> LastArgs(const std::string& dir, const std::string& name);
  static int CallCount(const std::string& dir, const std::string& name);
};

// Reads a started child's standard output to its end with a large buffer,
// handing each chunk to `sink`. Adds a test failure when a read fails.
void ReadChildOutput(LibMySqlProcess::MySqlChildProcess& child,
                     const std::function<void(const char*, size_t)>& sink);
// The same, collected into a string.
std::string ReadChildOutput(LibMySqlProcess::MySqlChildProcess& child);

// A value single-quoted for a test's shell command line.
std::string ShellQuote(const std::string& value);

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& content);
bool PathExists(const std::string& path);
// Runs a shell command (test code only) and returns its standard output;
// *status receives the exit status.
std::string RunShell(const std::string& command, int* status = nullptr);
// The SHA-256 of a file in hex, as sha256sum prints it.
std::string Sha256Of(const std::string& path);
bool Contains(const std::string& text, const std::string& part);

// The value of environment variable `name`, or else the build's default.
std::string SourceDir();  // XB_SOURCE_DIR
std::string BinDir();     // XB_BIN_DIR: the built programs

// UTF-8 of one code point (no validity checks: callers pass scalar values).
std::string Utf8(char32_t cp);

// What a run of one of this build's programs gave.
struct RunResult {
  int status = -1;
  std::string out;
  std::string err;
};
// Runs BinDir()/PROGRAM with already quoted arguments, standard input from
// /dev/null, standard output captured (or sent to redirectOut when given).
// Adds a test failure when a sanitizer reported.
RunResult RunProgram(const std::string& program, const std::string& args,
                     const std::string& redirectOut = "");

// An xbagent run in the background (for signals), its output in
// dir/stdout and dir/stderr, TMPDIR set to tmpdir.
struct Background {
  pid_t pid = -1;
  std::string err;  // the path of its standard error
};
Background StartXbagent(const std::string& args, const std::string& dir, const std::string& tmpdir);
// Waits up to limit seconds for pid; its exit status (128 + signal when
// killed), or -1 when it still ran (then it is killed).
int WaitForExit(pid_t pid, double limit, double* seconds);

// The throwaway server started by the test fixture, or empty fields when the
// tests run without one.
struct Sandbox {
  std::string dir;       // XB_SANDBOX_DIR
  std::string cnf;       // dir/my.cnf, a defaults file for server, client, dump and tools
  std::string datadir;   // dir/data
  std::string toolDir;   // dir/tools (xtrabackup, xbstream links)
  bool available() const { return !dir.empty(); }
  // Runs SQL through the command-line client; returns its tab-separated output.
  std::string Sql(const std::string& sql, int* status = nullptr) const;
};
// The shared throwaway server; a test that gets it fails when the server's
// InnoDB flushing or durability settings are not the defaults users run
// (tuned flushing hides what a restore meets on their servers).
Sandbox GetSandbox();
// A throwaway server of a test's own in dir (a short path), started with
// the sandbox script; not available() when it does not start. Stopped and
// removed with StopOwnSandbox.
Sandbox StartOwnSandbox(const std::string& dir);
void StopOwnSandbox(const Sandbox& sandbox);

// SIGKILL of the throwaway server, then a restart with the same settings.
// False when it does not answer.
bool CrashAndRestart(const Sandbox& sandbox);

// The local time now, as the server reads --until: "YYYY-MM-DD HH:MM:SS".
std::string LocalNow();

// Signature texts of the library's operations, as they appear in logs and
// failures.
namespace sig {
extern const char* const kRun;
extern const char* const kStartStream;
extern const char* const kExtract;
extern const char* const kPrepare;
extern const char* const kApplyBack;
extern const char* const kConvert;
extern const char* const kPopulateLogData;
extern const char* const kSchema;
extern const char* const kChangeOwner;
}  // namespace sig

}  // namespace xbtest
