#pragma once

// Helpers shared by the operation tests of the library: log and failure
// assertions, file facts, scoped working directory and PATH changes, and the
// set of hostile values that must reach a tool untouched.

#include <gtest/gtest.h>
#include <sys/types.h>

#include <ostream>
#include <string>
#include <vector>

#include "harness/Harness.h"

namespace xbtest {
namespace ops {

// One expected log write.
struct ExpectedLog {
  int level;
  std::string signature;
  std::string text;
};

// The entries appear in this order; other entries may come between them.
::testing::AssertionResult LoggedInOrder(const RecordingLogWriter& writer,
                                         const std::vector<ExpectedLog>& expected);
// The entries are exactly these, in this order.
::testing::AssertionResult LoggedExactly(const RecordingLogWriter& writer,
                                         const std::vector<ExpectedLog>& expected);
// The text was written exactly once, with this level and signature.
::testing::AssertionResult LoggedOnce(const RecordingLogWriter& writer, int level,
                                      const std::string& signature, const std::string& text);
// A failure of the library: code 1627, errno kind, file "XtraBackupUtil",
// function `signature`, message `message`.
::testing::AssertionResult IsLibraryFailure(const CKaError& error, const std::string& signature,
                                            const std::string& message);

// Single-quoted for a test's own shell command.
std::string Sq(const std::string& value);

// Mode bits (07777) of a path, or -1.
int ModeOf(const std::string& path);
uid_t OwnerOf(const std::string& path);
gid_t GroupOf(const std::string& path);
bool IsRoot();
// Every path below and including root (depth first), for whole-tree checks.
std::vector<std::string> TreeOf(const std::string& root);
// Paths named exactly PWNED below root.
std::vector<std::string> FindPwned(const std::string& root);
std::string CurrentDir();
void MakeDirs(const std::string& path);
// The absolute path of a program found in PATH, or empty.
std::string Which(const std::string& program);

// Changes the working directory for its lifetime.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();
  ScopedCwd(const ScopedCwd&) = delete;
  ScopedCwd& operator=(const ScopedCwd&) = delete;

 private:
  std::string previous_;
};

// Puts a directory first in PATH for its lifetime, so commands the library
// runs through the shell (cp, chmod, chown) find our stand-ins there.
class ScopedPathFirst {
 public:
  explicit ScopedPathFirst(const std::string& dir);
  ~ScopedPathFirst();
  ScopedPathFirst(const ScopedPathFirst&) = delete;
  ScopedPathFirst& operator=(const ScopedPathFirst&) = delete;

 private:
  std::string previous_;
};

// A stand-in for a system command that records its arguments like FakeTool
// and then runs the real command with them. `realPath` must be resolved
// before PATH is changed.
void InstallRecordingWrapper(const std::string& dir, const std::string& name,
                             const std::string& realPath);

// A value that breaks a command line whose quoting is wrong. Injections
// create a file named PWNED in the working directory.
struct HostileValue {
  const char* label;
  std::string text;
};
const std::vector<HostileValue>& HostileValues();
// How gtest shows a hostile-value parameter.
void PrintTo(const HostileValue& value, std::ostream* out);
// gtest name of a hostile-value parameter.
struct HostileName {
  std::string operator()(const ::testing::TestParamInfo<HostileValue>& info) const {
    return info.param.label;
  }
};
// For each argument holding '*': creates, relative to the working directory,
// the path that argument would match as a pattern (every '*' replaced by
// "DECOY"), so an expanded pattern shows up as a changed argument.
void PlantGlobDecoys(const std::vector<std::string>& arguments);
// `text` with every '*' replaced by "DECOY".
std::string DecoyOf(const std::string& text);

}  // namespace ops
}  // namespace xbtest
