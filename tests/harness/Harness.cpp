#include "harness/Harness.h"

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace xbtest {

namespace sig {
const char* const kRun =
    "CKaError XtraBackup::XtraBackupUtil::runXtraBackupCommand(LibMySqlProcess::"
    "MySqlChildProcess*, std::string, bool, std::string&, bool)";
const char* const kStartStream =
    "CKaError XtraBackup::XtraBackupUtil::startStream(std::string, long unsigned int, "
    "std::string)";
const char* const kExtract = "CKaError XtraBackup::XtraBackupUtil::extractXtraBackup(std::string)";
const char* const kPrepare = "CKaError XtraBackup::XtraBackupUtil::prepare(std::string)";
const char* const kApplyBack =
    "CKaError XtraBackup::XtraBackupUtil::applyBack(std::string, std::string, std::string, "
    "XtraBackup::XtraMetaData)";
const char* const kConvert =
    "void XtraBackup::XtraBackupUtil::convertSpecialCharsToHexChars(std::string, std::string&)";
const char* const kPopulateLogData =
    "CKaError XtraBackup::XtraBackupUtil::populateLogData(long int*, long int*, std::string)";
const char* const kSchema =
    "CKaError XtraBackup::XtraBackupUtil::getSchemaDataForXtrabackup(std::string, std::string&)";
const char* const kChangeOwner =
    "CKaError XtraBackup::XtraBackupUtil::ChangeDBDirOwner(const string&, const string&)";
}  // namespace sig

std::string ShellQuote(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

TempDir::TempDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = buffer.data();
}

TempDir::~TempDir() {
  int status = 0;
  RunShell("chmod -R u+rwx " + ShellQuote(path_) + " 2>/dev/null; rm -rf " + ShellQuote(path_),
           &status);
}

ScopedSettings::ScopedSettings() : dir_("xbsettings"), path_(dir_ / "settings.ini") {
  const char* previous = std::getenv("XTRABACKUP_UTIL_SETTINGS");
  hadPrevious_ = previous != nullptr;
  if (previous) previous_ = previous;
  WriteFile(path_, "");
  ::setenv("XTRABACKUP_UTIL_SETTINGS", path_.c_str(), 1);
}

ScopedSettings::~ScopedSettings() {
  if (hadPrevious_) {
    ::setenv("XTRABACKUP_UTIL_SETTINGS", previous_.c_str(), 1);
  } else {
    ::unsetenv("XTRABACKUP_UTIL_SETTINGS");
  }
}

void ScopedSettings::Write(const std::string& content) { WriteFile(path_, content); }

void ScopedSettings::SetMySql(const std::string& key, const std::string& value) {
  bool replaced = false;
  for (auto& entry : values_) {
    if (entry.first == key) {
      entry.second = value;
      replaced = true;
    }
  }
  if (!replaced) values_.emplace_back(key, value);
  std::string content = "[MySQL]\n";
  for (const auto& entry : values_) content += entry.first + " = " + entry.second + "\n";
  WriteFile(path_, content);
}

void FakeTool::Install(const std::string& dir, const std::string& name) const {
  std::string base = dir + "/" + name;
  std::ostringstream script;
  script << "#!/bin/bash\n"
         << "printf '%s\\0' \"$@\" > " << ShellQuote(base + ".args") << "\n"
         << "echo call >> " << ShellQuote(base + ".calls") << "\n";
  if (saveStdin) script << "cat > " << ShellQuote(base + ".stdin") << "\n";
  if (!stdoutText.empty()) script << "printf '%s' " << ShellQuote(stdoutText) << "\n";
  if (!stderrText.empty()) script << "printf '%s' " << ShellQuote(stderrText) << " >&2\n";
  script << extraShell << "\n"
         << "exit " << exitStatus << "\n";
  WriteFile(base, script.str());
  ::chmod(base.c_str(), 0755);
}

std::vector<std::string> FakeTool::LastArgs(const std::string& dir, const std::string& name) {
  std::string raw = ReadFile(dir + "/" + name + ".args");
  std::vector<std::string> args;
  size_t start = 0;
  while (start < raw.size()) {
    size_t end = raw.find('\0', start);
    if (end == std::string::npos) end = raw.size();
    args.push_back(raw.substr(start, end - start));
    start = end + 1;
  }
  return args;
}

int FakeTool::CallCount(const std::string& dir, const std::string& name) {
  std::string calls = ReadFile(dir + "/" + name + ".calls");
  int count = 0;
  for (char c : calls) count += c == '\n';
  return count;
}

void ReadChildOutput(LibMySqlProcess::MySqlChildProcess& child,
                     const std::function<void(const char*, size_t)>& sink) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    long length = static_cast<long>(buffer.size());
    if (child.ReadBuf(buffer.data(), &length) != 0) {
      ADD_FAILURE() << "ReadBuf failed, errno " << child.GetLastErrNo();
      return;
    }
    if (length <= 0) return;
    sink(buffer.data(), static_cast<size_t>(length));
  }
}

std::string ReadChildOutput(LibMySqlProcess::MySqlChildProcess& child) {
  std::string all;
  ReadChildOutput(child, [&all](const char* data, size_t length) { all.append(data, length); });
  return all;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

bool PathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

std::string Sha256Of(const std::string& path) {
  const std::string out = RunShell("sha256sum " + ShellQuote(path));
  return out.substr(0, out.find(' '));
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string RunShell(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) {
    if (status) *status = -1;
    return output;
  }
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
  int raw = ::pclose(pipe);
  if (status) *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
  return output;
}

namespace {

std::string EnvOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

}  // namespace

std::string SourceDir() { return EnvOr("XB_SOURCE_DIR", XB_DEFAULT_SOURCE_DIR); }
std::string BinDir() { return EnvOr("XB_BIN_DIR", XB_DEFAULT_BIN_DIR); }

std::string Utf8(char32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s += static_cast<char>(cp);
  } else if (cp < 0x800) {
    s += static_cast<char>(0xC0 | (cp >> 6));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    s += static_cast<char>(0xE0 | (cp >> 12));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    s += static_cast<char>(0xF0 | (cp >> 18));
    s += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    s += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    s += static_cast<char>(0x80 | (cp & 0x3F));
  }
  return s;
}

RunResult RunProgram(const std::string& program, const std::string& args,
                     const std::string& redirectOut) {
  TempDir scratch("xbtest-run");
  RunResult result;
  std::string command =
      ShellQuote(BinDir() + "/" + program) + " " + args + " 2>" + ShellQuote(scratch / "err");
  if (!redirectOut.empty()) command += " >" + ShellQuote(redirectOut);
  result.out = RunShell(command + " </dev/null", &result.status);
  result.err = ReadFile(scratch / "err");
  EXPECT_EQ(result.err.find("Sanitizer"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("runtime error:"), std::string::npos) << result.err;
  return result;
}

Sandbox GetSandbox() {
  Sandbox sandbox;
  std::string dir = EnvOr("XB_SANDBOX_DIR", XB_DEFAULT_SANDBOX_DIR);
  if (dir.empty() || !PathExists(dir + "/my.cnf")) return sandbox;
  sandbox.dir = dir;
  sandbox.cnf = sandbox.dir + "/my.cnf";
  sandbox.datadir = sandbox.dir + "/data";
  sandbox.toolDir = sandbox.dir + "/tools";
  EXPECT_EQ(sandbox.Sql("SELECT VARIABLE_NAME FROM information_schema.SYSTEM_VARIABLES WHERE "
                        "VARIABLE_NAME IN ('INNODB_MAX_DIRTY_PAGES_PCT', "
                        "'INNODB_MAX_DIRTY_PAGES_PCT_LWM', 'INNODB_IO_CAPACITY', "
                        "'INNODB_ADAPTIVE_FLUSHING', 'INNODB_ADAPTIVE_FLUSHING_LWM', "
                        "'INNODB_FLUSH_NEIGHBORS', 'INNODB_FLUSH_SYNC', 'INNODB_FLUSH_METHOD', "
                        "'INNODB_FLUSH_LOG_AT_TRX_COMMIT', 'INNODB_DOUBLEWRITE') AND "
                        "GLOBAL_VALUE <> DEFAULT_VALUE;\n"),
            "")
      << "the throwaway server runs with tuned InnoDB flushing";
  return sandbox;
}

Sandbox StartOwnSandbox(const std::string& dir) {
  Sandbox sandbox;
  int status = 1;
  RunShell(ShellQuote(SourceDir() + "/tests/sandbox/mariadb-sandbox.sh") + " start " +
               ShellQuote(dir) + " >/dev/null 2>&1",
           &status);
  if (status != 0) return sandbox;
  sandbox.dir = dir;
  sandbox.cnf = dir + "/my.cnf";
  sandbox.datadir = dir + "/data";
  sandbox.toolDir = dir + "/tools";
  return sandbox;
}

void StopOwnSandbox(const Sandbox& sandbox) {
  if (!sandbox.available()) return;
  RunShell(ShellQuote(SourceDir() + "/tests/sandbox/mariadb-sandbox.sh") + " stop " +
           ShellQuote(sandbox.dir) + " >/dev/null 2>&1");
}

std::string Sandbox::Sql(const std::string& sql, int* status) const {
  TempDir scratch("xbsql");
  WriteFile(scratch / "q.sql", sql);
  return RunShell("mariadb --defaults-file=" + ShellQuote(cnf) + " -N -B < " +
                      ShellQuote(scratch / "q.sql") + " 2>&1",
                  status);
}

Background StartXbagent(const std::string& args, const std::string& dir, const std::string& tmpdir) {
  Background child;
  child.err = dir + "/stderr";
  std::string command = "TMPDIR=" + ShellQuote(tmpdir) + " exec " + ShellQuote(BinDir() + "/xbagent") +
                        " " + args + " >" + ShellQuote(dir + "/stdout") + " 2>" +
                        ShellQuote(child.err) + " </dev/null";
  child.pid = ::fork();
  if (child.pid == 0) {
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return child;
}

int WaitForExit(pid_t pid, double limit, double* seconds) {
  auto start = std::chrono::steady_clock::now();
  for (;;) {
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid) {
      *seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (std::chrono::steady_clock::now() - start > std::chrono::duration<double>(limit)) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      *seconds = limit;
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool CrashAndRestart(const Sandbox& sandbox) {
  std::string pid = RunShell("tr -dc 0-9 < " + ShellQuote(sandbox.dir + "/mariadbd.pid"));
  if (pid.empty()) return false;
  RunShell("kill -KILL " + pid + "; while kill -0 " + pid + " 2>/dev/null; do sleep 0.05; done");
  RunShell("cd / && setsid mariadbd --defaults-file=" + ShellQuote(sandbox.cnf) +
           (::geteuid() == 0 ? " --user=mysql" : "") + " </dev/null >>" +
           ShellQuote(sandbox.dir + "/mariadbd.out") + " 2>&1 &");
  for (int i = 0; i < 600; ++i) {
    int status = 1;
    RunShell("mariadb-admin --defaults-file=" + ShellQuote(sandbox.cnf) +
                 " --connect-timeout=2 ping >/dev/null 2>&1",
             &status);
    if (status == 0) return true;
    ::usleep(100 * 1000);
  }
  return false;
}

std::string LocalNow() {
  std::time_t now = std::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

}  // namespace xbtest
