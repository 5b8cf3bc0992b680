// xbagent's backup logic that needs no server: comparing two schema dumps,
// the tool's "left out" lines, a staging copy's .isl files, and following a
// stream file that a child writes.

#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <zuMySqlChildProcess/MySqlChildProcess.h>

#include "../../xbagent/src/Common.h"
#include "../../xbagent/src/IoPriority.h"
#include "../../xbagent/src/MappedSha256.h"
#include "../../xbagent/src/Relay.h"
#include "../../xbagent/src/RemoteTablespaces.h"
#include "../../xbagent/src/Sha256.h"
#include "../../xbagent/src/ToolOutput.h"
#include "../../xbagent/src/backup/BackupPhases.h"
#include "harness/Harness.h"

namespace xbagent {
// The host's stop flag; these tests never stop.
bool StopRequested() { return false; }
}  // namespace xbagent

namespace {

using xbagent::DroppedTablespaceOf;
using xbagent::SchemaDifference;

const char kDump[] =
    "-- MariaDB dump\n"
    "CREATE DATABASE `d`;\n"
    "--\n-- Table structure for table `t`\n--\n"
    "CREATE TABLE `t` (\n  `id` int NOT NULL AUTO_INCREMENT,\n  PRIMARY KEY (`id`)\n"
    ") ENGINE=InnoDB AUTO_INCREMENT=5 DEFAULT CHARSET=utf8mb4;\n"
    "--\n-- Table structure for table `u`\n--\n"
    "CREATE TABLE `u` (`a` int) ENGINE=InnoDB;\n"
    "--\n-- Sequence structure for `s`\n--\n"
    "CREATE SEQUENCE `s` start with 1 ENGINE=InnoDB;\nDO SETVAL(`s`, 1001, 0);\n"
    "--\n-- Dumping events for database 'd'\n--\n"
    "CREATE EVENT `e` ON SCHEDULE EVERY 1 DAY DO SELECT 1;\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(SchemaDifferenceTest, NamesTheFirstObjectWhoseDefinitionChanged) {
  struct Case {
    const char* what;
    std::string after;
    std::string expected;
  };
  const std::string dump = kDump;
  const std::vector<Case> cases = {
      {"same", dump, ""},
      {"counters move", Replace(Replace(dump, "AUTO_INCREMENT=5", "AUTO_INCREMENT=900"),
                                "1001, 0", "2001, 0"),
       ""},
      {"column added", Replace(dump, "(`a` int)", "(`a` int, `b` int)"), "table `u`"},
      {"table dropped",
       Replace(dump, "--\n-- Table structure for table `u`\n--\nCREATE TABLE `u` (`a` int) "
                     "ENGINE=InnoDB;\n", ""),
       "table `u`"},
      {"table created", dump + "--\n-- Table structure for table `w`\n--\nCREATE TABLE `w`;\n",
       "table `w`"},
      {"sequence altered", Replace(dump, "start with 1", "start with 5"), "sequence `s`"},
      {"event altered", Replace(dump, "EVERY 1 DAY", "EVERY 2 DAY"),
       "Dumping events for database 'd'"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SchemaDifference(dump, c.after), c.expected) << c.what;
  }
}

TEST(DroppedTablespaceTest, ReadsTheTablespaceTheToolLeftOut) {
  EXPECT_EQ(DroppedTablespaceOf("[00] 2026-12-08 01:19:41 Warning: We assume the  table was "
                                "dropped during xtrabackup execution and ignore the tablespace "
                                "./d1/t.ibd"),
            "d1/t");
  EXPECT_EQ(DroppedTablespaceOf("... ignore the tablespace ./my@002ddb/p#P#p0.ibd"),
            "my@002ddb/p#P#p0");
  EXPECT_EQ(DroppedTablespaceOf("InnoDB: Table `d`.`t`: We assume the  table was dropped"), "");

  xbagent::ToolOutput output("xtrabackup");
  std::string text =
      "[00] Warning: We assume the  table was dropped during xtrabackup execution and ignore "
      "the tablespace ./a/x.ibd\n"
      "[00] Warning: We assume the  table was dropped during xtrabackup execution and ignore "
      "the tablespace ./a/y.ibd\n[00] completed OK!\n";
  output.Feed(text.data(), text.size());
  output.Finish();
  EXPECT_EQ(output.DroppedTableLines(), 2u);
  EXPECT_EQ(output.DroppedTablespaces(), (std::vector<std::string>{"a/x", "a/y"}));
}

TEST(RemoteTablespacesTest, RemovesEveryIslAndReportsWhatItNamed) {
  xbtest::TempDir staging("xbagent-isl");
  xbtest::RunShell("mkdir -p " + xbtest::ShellQuote(staging / "db1") + " " +
                   xbtest::ShellQuote(staging / "db2"));
  xbtest::WriteFile(staging / "db1/t.isl", "/remote/db1/t.ibd\n");
  xbtest::WriteFile(staging / "db1/t.new", "pages");
  xbtest::WriteFile(staging / "db1/u.frm", "frm");
  xbtest::WriteFile(staging / "db2/p#P#p0.isl", "/other/db2/p#P#p0.ibd");
  xbtest::WriteFile(staging / "ibdata1", "system");

  std::vector<xbagent::RemoteTablespace> found =
      xbagent::NeutraliseRemoteTablespaces(staging.path());
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0].table, "db1/t");
  EXPECT_EQ(found[0].remotePath, "/remote/db1/t.ibd");
  EXPECT_EQ(found[1].table, "db2/p#P#p0");
  EXPECT_EQ(found[1].remotePath, "/other/db2/p#P#p0.ibd");
  EXPECT_FALSE(xbtest::PathExists(staging / "db1/t.isl"));
  EXPECT_FALSE(xbtest::PathExists(staging / "db2/p#P#p0.isl"));
  EXPECT_TRUE(xbtest::PathExists(staging / "db1/t.new"));
  EXPECT_TRUE(xbtest::PathExists(staging / "db1/u.frm"));
  EXPECT_TRUE(xbagent::NeutraliseRemoteTablespaces(staging.path()).empty());
}

// Paths a .isl names reach mount(2) for the prepare: only plain absolute
// tablespace paths pass.
TEST(RemoteTablespacesTest, OnlyPlainAbsoluteTablespacePathsAreUsable) {
  struct Case {
    const char* path;
    bool usable;
  } cases[] = {
      {"/remote/db/t.ibd", true},
      {"/remote/my db/t#P#p0.ibd", true},
      {"remote/db/t.ibd", false},
      {"", false},
      {"/remote/db/t.frm", false},
      {"/remote/../etc/t.ibd", false},
      {"/remote/./db/t.ibd", false},
      {"/remote//db/t.ibd", false},
      {"/remote/db/t\n.ibd", false},
      {"/t.ibd", false},
      {"/.ibd", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(xbagent::RemotePathProblem(c.path).empty(), c.usable) << c.path;
  }
}

// The follower counts and hashes every byte the child wrote, across several
// writeback batches, and hands this thread back the I/O priority it had.
TEST(FollowStreamFileTest, HashesWhatTheChildWroteAndPutsTheIoPriorityBack) {
  const int before = xbagent::ioprio::Value(xbagent::ioprio::kClassBestEffort, 5);
  ASSERT_TRUE(xbagent::ioprio::SetForThisThread(before));
  const size_t size = (20u << 20) + 123;
  xbtest::TempDir dir("xbagent-follow");
  const std::string path = dir / "stream.xb";
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  LibMySqlProcess::MySqlChildProcess child;
  ASSERT_EQ(child.Initialize("head -c " + std::to_string(size) + " /dev/zero", "", ""), 0);
  ASSERT_EQ(child.SetStdoutDescriptor(fd), 0);
  ASSERT_EQ(child.ZU_CreateProcess(true, false, true, true), 0);
  xbagent::XbStreamScanner scanner;
  xbagent::ToolOutput errors("head");
  xbagent::RelayResult result = xbagent::FollowStreamFile(child, fd, scanner, errors);
  ::close(fd);

  const std::string zeros(size, '\0');
  xbagent::Sha256 expected;
  expected.Update(zeros.data(), zeros.size());
  EXPECT_EQ(result.bytes, size);
  EXPECT_EQ(result.sha256, expected.FinalHex());
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(xbagent::ioprio::OfThisThread(), before);
  xbagent::ioprio::SetForThisThread(xbagent::ioprio::Value(xbagent::ioprio::kClassNone, 0));
}

// A file of size bytes, each byte its offset modulo 251, opened for reading.
int PatternFile(const std::string& path, size_t size, std::string* content) {
  content->resize(size);
  for (size_t i = 0; i < size; ++i) (*content)[i] = static_cast<char>(i % 251);
  xbtest::WriteFile(path, *content);
  return ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
}

// Hashed through the mapping, window by window, the digest is the file's;
// a stop, a file cut short under the hash and a pipe each end as they say.
TEST(MappedSha256Test, HashesWholeFilesAndEndsCleanlyOtherwise) {
  constexpr size_t kWindow = 64 << 10;
  xbtest::TempDir dir("xbagent-mapped");
  for (size_t size : {size_t{0}, size_t{1}, kWindow, 3 * kWindow + 5}) {
    std::string content;
    const int fd = PatternFile(dir / "f", size, &content);
    ASSERT_GE(fd, 0);
    uint64_t lastSeen = 0;
    xbagent::MappedHash got = xbagent::Sha256OfMappedFile(
        fd, size, [&](uint64_t done) { return lastSeen = done, true; }, kWindow);
    ::close(fd);
    EXPECT_EQ(got.end, xbagent::MappedHashEnd::kDone) << size;
    EXPECT_EQ(got.hex, xbagent::Sha256OfText(content)) << size;
    EXPECT_EQ(lastSeen, size);
  }

  std::string content;
  int fd = PatternFile(dir / "g", 4 * kWindow, &content);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(xbagent::Sha256OfMappedFile(fd, 4 * kWindow, [](uint64_t done) { return done == 0; },
                                        kWindow).end,
            xbagent::MappedHashEnd::kStopped);
  ASSERT_EQ(::truncate((dir / "g").c_str(), kWindow + 100), 0);
  EXPECT_EQ(xbagent::Sha256OfMappedFile(fd, 4 * kWindow, nullptr, kWindow).end,
            xbagent::MappedHashEnd::kShrunk);
  ::close(fd);

  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_EQ(xbagent::Sha256OfMappedFile(pipeFds[0], 10, nullptr, kWindow).end,
            xbagent::MappedHashEnd::kCannotMap);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
}

}  // namespace
