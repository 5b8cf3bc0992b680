#include "OperationTestSupport.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <system_error>

namespace xbtest {
namespace ops {

namespace fs = std::filesystem;

namespace {

std::string Describe(const LogEntry& entry) {
  std::ostringstream out;
  out << "  [" << entry.level << "] {" << entry.function << "} \"" << entry.text << "\"\n";
  return out.str();
}

std::string Describe(const ExpectedLog& entry) {
  std::ostringstream out;
  out << "  [" << entry.level << "] {" << entry.signature << "} \"" << entry.text << "\"\n";
  return out.str();
}

bool Matches(const LogEntry& actual, const ExpectedLog& expected) {
  return actual.level == expected.level && actual.function == expected.signature &&
         actual.text == expected.text;
}

std::string DescribeAll(const std::vector<LogEntry>& entries) {
  std::string all = "log entries:\n";
  for (const LogEntry& entry : entries) all += Describe(entry);
  return all;
}

}  // namespace

::testing::AssertionResult LoggedInOrder(const RecordingLogWriter& writer,
                                         const std::vector<ExpectedLog>& expected) {
  std::vector<LogEntry> entries = writer.Entries();
  size_t next = 0;
  for (const ExpectedLog& wanted : expected) {
    while (next < entries.size() && !Matches(entries[next], wanted)) ++next;
    if (next == entries.size()) {
      return ::testing::AssertionFailure() << "missing (in order):\n"
                                           << Describe(wanted) << DescribeAll(entries);
    }
    ++next;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult LoggedExactly(const RecordingLogWriter& writer,
                                         const std::vector<ExpectedLog>& expected) {
  std::vector<LogEntry> entries = writer.Entries();
  bool same = entries.size() == expected.size();
  for (size_t i = 0; same && i < entries.size(); ++i) same = Matches(entries[i], expected[i]);
  if (same) return ::testing::AssertionSuccess();
  std::string wanted = "expected log entries:\n";
  for (const ExpectedLog& entry : expected) wanted += Describe(entry);
  return ::testing::AssertionFailure() << wanted << DescribeAll(entries);
}

::testing::AssertionResult LoggedOnce(const RecordingLogWriter& writer, int level,
                                      const std::string& signature, const std::string& text) {
  std::vector<LogEntry> found = writer.Find(text);
  if (found.size() != 1) {
    return ::testing::AssertionFailure() << "\"" << text << "\" logged " << found.size()
                                         << " times; " << DescribeAll(writer.Entries());
  }
  if (found[0].level != level || found[0].function != signature) {
    return ::testing::AssertionFailure() << "\"" << text << "\" logged as" << Describe(found[0])
                                         << "wanted level " << level << " {" << signature << "}";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult IsLibraryFailure(const CKaError& error, const std::string& signature,
                                            const std::string& message) {
  if (!error.IsError())
    return ::testing::AssertionFailure() << "succeeded; wanted failure \"" << message << "\"";
  ::testing::AssertionResult result = ::testing::AssertionSuccess();
  bool ok = true;
  std::ostringstream why;
  if (error.GetCode() != 1627u) {
    ok = false;
    why << "code " << error.GetCode() << " != 1627; ";
  }
  if (error.GetKind() != CKaError::Kind::ErrNo) {
    ok = false;
    why << "kind is not ErrNo; ";
  }
  if (error.GetFile() != "XtraBackupUtil") {
    ok = false;
    why << "file \"" << error.GetFile() << "\"; ";
  }
  if (error.GetFunction() != signature) {
    ok = false;
    why << "function \"" << error.GetFunction() << "\" != \"" << signature << "\"; ";
  }
  if (error.AsString() != message) {
    ok = false;
    why << "message \"" << error.AsString() << "\" != \"" << message << "\"";
  }
  if (ok) return result;
  return ::testing::AssertionFailure() << why.str();
}

std::string Sq(const std::string& value) { return xbtest::ShellQuote(value); }

int ModeOf(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return -1;
  return static_cast<int>(info.st_mode & 07777);
}

uid_t OwnerOf(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return static_cast<uid_t>(-1);
  return info.st_uid;
}

gid_t GroupOf(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return static_cast<gid_t>(-1);
  return info.st_gid;
}

bool IsRoot() { return ::geteuid() == 0; }

std::vector<std::string> TreeOf(const std::string& root) {
  std::vector<std::string> paths{root};
  std::error_code ec;
  for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
    paths.push_back(it->path().string());
  }
  return paths;
}

std::vector<std::string> FindPwned(const std::string& root) {
  std::vector<std::string> found;
  for (const std::string& path : TreeOf(root)) {
    if (fs::path(path).filename() == "PWNED") found.push_back(path);
  }
  return found;
}

std::string CurrentDir() {
  std::error_code ec;
  return fs::current_path(ec).string();
}

void MakeDirs(const std::string& path) {
  std::error_code ec;
  fs::create_directories(path, ec);
}

std::string Which(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(path ? path : "");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    if (dir.empty()) continue;
    std::string candidate = dir + "/" + program;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::string();
}

ScopedCwd::ScopedCwd(const std::string& dir) : previous_(CurrentDir()) {
  if (::chdir(dir.c_str()) != 0) ADD_FAILURE() << "chdir " << dir << " failed";
}

ScopedCwd::~ScopedCwd() {
  if (::chdir(previous_.c_str()) != 0) ADD_FAILURE() << "chdir back failed";
}

ScopedPathFirst::ScopedPathFirst(const std::string& dir) {
  const char* path = std::getenv("PATH");
  previous_ = path ? path : "";
  std::string changed = dir + ":" + previous_;
  ::setenv("PATH", changed.c_str(), 1);
}

ScopedPathFirst::~ScopedPathFirst() { ::setenv("PATH", previous_.c_str(), 1); }

void InstallRecordingWrapper(const std::string& dir, const std::string& name,
                             const std::string& realPath) {
  FakeTool wrapper;
  wrapper.extraShell = "exec " + Sq(realPath) + " \"$@\"";
  wrapper.Install(dir, name);
}

const std::vector<HostileValue>& HostileValues() {
  static const std::vector<HostileValue> values{
      {"DoubleQuote", "dq\" ; touch PWNED ; \"end"},
      {"SingleQuote", "sq' ; touch PWNED ; 'end"},
      {"CommandSubstitution", "cs$(touch PWNED)end"},
      {"Backquotes", "bq`touch PWNED`end"},
      {"Semicolon", "sc;touch PWNED;end"},
      {"Newline", "nl\ntouch PWNED\nend"},
      {"Spaces", "two  spaces and\ttab"},
      {"Glob", "gl*ob"},
      {"Backslash", "bs\\\"$(touch PWNED)\\"},
      {"TrailingBackslash", "tb\\"},
      {"Variable", "var$HOME${PATH}$1end"},
      {"PercentFormat", "pct%s%d%n%%end"},
      {"Everything", "all \"' $(touch PWNED) `touch PWNED` ;touch PWNED; |&<>(){}[]?~#!\n* \\ %s"},
  };
  return values;
}

void PrintTo(const HostileValue& value, std::ostream* out) {
  *out << value.label << " " << ::testing::PrintToString(value.text);
}

std::string DecoyOf(const std::string& text) {
  std::string decoy;
  for (char c : text) {
    if (c == '*') {
      decoy += "DECOY";
    } else {
      decoy += c;
    }
  }
  return decoy;
}

void PlantGlobDecoys(const std::vector<std::string>& arguments) {
  for (const std::string& argument : arguments) {
    if (argument.find('*') == std::string::npos) continue;
    MakeDirs(DecoyOf(argument));
  }
}

}  // namespace ops
}  // namespace xbtest
