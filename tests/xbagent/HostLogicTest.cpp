// xbagent's own logic without a server: the manifest round trip, the
// xbstream scanner, the judge of the backup tool's output and the record of
// hurried InnoDB flushing.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "Common.h"
#include "Fs.h"
#include "HurriedFlushing.h"
#include "InnodbCheckpoint.h"
#include "Manifest.h"
#include "RunLock.h"
#include "ToolOutput.h"
#include "Tools.h"
#include "XbStream.h"

namespace xbagent {
namespace {

std::string TempDir() {
  char pattern[] = "/tmp/xbagent-host-XXXXXX";
  const char* made = ::mkdtemp(pattern);
  return made ? made : "";
}

void WriteText(const std::string& path, const std::string& text) {
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  std::fwrite(text.data(), 1, text.size(), file);
  std::fclose(file);
}

ManifestContent SampleContent() {
  static const std::string binlog = "mysql-bin.000007\t1309459\t0-1-21\n";
  static const std::string checkpoints = "backup_type = full-backuped\nto_lsn = 9223372036854775807\n";
  ManifestContent content;
  content.oneDatabase = true;
  content.database = "shop \xe2\x82\xac";
  content.databaseOnDisk = "shop@0020@20ac";
  content.serverVersion = "10.11.6-MariaDB";
  content.streamFile = kStreamFile;
  content.streamSize = 18446744073709551000ull;
  content.streamSha256 = std::string(64, 'a');
  content.encoding.zstd = true;
  content.encoding.zstdLevel = 7;
  content.encoding.encrypted = true;
  content.rawSize = 12345;
  content.rawSha256 = std::string(64, 'b');
  content.binlogInfo = &binlog;
  content.checkpoints = &checkpoints;
  content.tables.push_back({"shop \xe2\x82\xac", "orders", "shop@0020@20ac/orders", "InnoDB", true, false});
  content.notes.push_back("retried \"once\"\n");
  return content;
}

TEST(ManifestRoundTripTest, WhatIsWrittenLoadsBack) {
  const std::string dir = TempDir();
  ASSERT_FALSE(dir.empty());
  WriteText(JoinPath(dir, kManifestFile), ManifestText(SampleContent()));
  ManifestSummary summary = LoadManifest(dir);
  EXPECT_EQ(summary.kind, "database");
  EXPECT_EQ(summary.database, "shop \xe2\x82\xac");
  EXPECT_EQ(summary.databaseOnDisk, "shop@0020@20ac");
  EXPECT_EQ(summary.streamFile, kStreamFile);
  EXPECT_EQ(summary.streamSize, 18446744073709551000ull);
  EXPECT_EQ(summary.serverVersion, "10.11.6-MariaDB");
  EXPECT_TRUE(summary.encoding.zstd);
  EXPECT_EQ(summary.encoding.zstdLevel, 7);
  EXPECT_TRUE(summary.encoding.encrypted);
  EXPECT_EQ(summary.rawSize, 12345u);
  const Json& binlog = Member(summary.document, "binlog");
  EXPECT_EQ(Member(binlog, "file"), "mysql-bin.000007");
  EXPECT_EQ(Member(binlog, "position"), 1309459u);
  EXPECT_EQ(Member(binlog, "gtid"), "0-1-21");
  EXPECT_EQ(Member(Member(summary.document, "checkpoints"), "to_lsn"), 9223372036854775807ull);
  EXPECT_EQ(Member(summary.document, "notes")[0], "retried \"once\"\n");
  EXPECT_EQ(Member(summary.document, "tables")[0]["partitioned"], true);
  ::unlink(JoinPath(dir, kManifestFile).c_str());
  ::rmdir(dir.c_str());
}

TEST(ManifestRoundTripTest, KeepsTheFieldOrderOfEarlierBackups) {
  const std::string text = ManifestText(SampleContent());
  EXPECT_EQ(text.compare(0, 38, "{\n  \"format\": \"xbagent-backup\",\n  \"for"), 0) << text;
  EXPECT_LT(text.find("\"kind\""), text.find("\"stream\""));
  EXPECT_LT(text.find("\"stream\""), text.find("\"tables\""));
  EXPECT_EQ(text.back(), '\n');
}

TEST(ManifestRoundTripTest, RefusesWhatIsNotAManifest) {
  struct Case {
    const char* text;
    const char* message;
  };
  const std::vector<Case> cases = {
      {"{", "is not valid JSON"},
      {"[]", "is not an xbagent manifest"},
      {"{\"format\": \"xbagent-backup\", \"format_version\": 2}", "unsupported format_version"},
      {"{\"format\": \"xbagent-backup\", \"format_version\": 1, \"kind\": \"x\"}", "no valid"},
      {"{\"format\": \"xbagent-backup\", \"format_version\": 1, \"kind\": \"server\", "
       "\"stream\": {\"file\": \"../x\"}}",
       "names no stream file"},
      {"{\"format\": \"xbagent-backup\", \"format_version\": 1, \"kind\": \"server\", "
       "\"stream\": {\"size\": -1}}",
       "has no stream size"},
  };
  const std::string dir = TempDir();
  ASSERT_FALSE(dir.empty());
  for (const Case& c : cases) {
    WriteText(JoinPath(dir, kManifestFile), c.text);
    try {
      LoadManifest(dir);
      ADD_FAILURE() << c.text;
    } catch (const Failure& failure) {
      EXPECT_NE(std::string(failure.what()).find(c.message), std::string::npos)
          << c.text << ": " << failure.what();
    }
  }
  ::unlink(JoinPath(dir, kManifestFile).c_str());
  ::rmdir(dir.c_str());
}

void PutLe(std::string* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

std::string Chunk(char type, const std::string& path, const std::string& payload) {
  std::string out = "XBSTCK01";
  out.push_back('\0');
  out.push_back(type);
  PutLe(&out, path.size(), 4);
  out += path;
  if (type == 'E') return out;
  PutLe(&out, payload.size(), 8);
  PutLe(&out, 0, 8);
  PutLe(&out, 0, 4);
  return out + payload;
}

// Takes the stream as the relay takes a teed one: a piece at a time, at
// most `most` bytes a step, passing by what the scanner need not see.
uint64_t TakeLikeTheRelay(XbStreamScanner& scanner, const std::string& stream, size_t most) {
  uint64_t skipped = 0;
  for (size_t at = 0; at < stream.size();) {
    bool skippable = false;
    const size_t take = static_cast<size_t>(
        std::min<uint64_t>({scanner.NextPiece(&skippable), most, stream.size() - at}));
    if (skippable) {
      scanner.Skip(take);
      skipped += take;
    } else {
      scanner.Feed(stream.data() + at, take);
    }
    at += take;
  }
  return skipped;
}

TEST(XbStreamScannerTest, ReadsFilesAndCapturesInPiecesOfAnySize) {
  const std::string stream = Chunk('P', "xtrabackup_binlog_info", "mysql-bin.000001\t4\n") +
                             Chunk('E', "xtrabackup_binlog_info", "") +
                             Chunk('P', "db/t.ibd", std::string(100, 'x'));
  for (size_t piece : {size_t(1), size_t(3), size_t(17), stream.size()}) {
    for (bool skipping : {false, true}) {
      XbStreamScanner scanner;
      scanner.Capture("xtrabackup_binlog_info", 1024);
      // Only db/t.ibd's payload is passed by: the captured file is seen.
      if (skipping) {
        EXPECT_EQ(TakeLikeTheRelay(scanner, stream, piece), 100u) << piece;
      }
      for (size_t at = 0; !skipping && at < stream.size(); at += piece) {
        scanner.Feed(stream.data() + at, std::min(piece, stream.size() - at));
      }
      EXPECT_TRUE(scanner.Complete()) << piece << ": " << scanner.Problem();
      EXPECT_TRUE(scanner.HasFile("db/t.ibd"));
      ASSERT_NE(scanner.Captured("xtrabackup_binlog_info"), nullptr);
      EXPECT_EQ(*scanner.Captured("xtrabackup_binlog_info"), "mysql-bin.000001\t4\n");
      EXPECT_EQ(scanner.Captured("db/t.ibd"), nullptr);
      EXPECT_EQ(scanner.PayloadBytes(), 119u);
    }
  }
  // Bytes passed by that had to be seen leave the stream unjudgeable.
  XbStreamScanner scanner;
  scanner.Skip(5);
  EXPECT_FALSE(scanner.Complete());
  EXPECT_NE(scanner.Problem().find("not looked at"), std::string::npos) << scanner.Problem();
}

TEST(XbStreamScannerTest, TellsAnIncompleteOrMalformedStream) {
  const std::string good = Chunk('P', "a", "payload");
  struct Case {
    std::string stream;
    const char* problem;  // "" for an incomplete stream with no named problem
  };
  const std::vector<Case> cases = {
      {good.substr(0, good.size() - 1), ""},
      {"XBSTCK02" + good.substr(8), "no chunk header"},
      {Chunk('Q', "a", "x"), "unknown chunk type"},
  };
  for (const Case& c : cases) {
    XbStreamScanner scanner;
    scanner.Feed(c.stream.data(), c.stream.size());
    EXPECT_FALSE(scanner.Complete());
    EXPECT_NE(scanner.Problem().find(c.problem), std::string::npos) << scanner.Problem();
  }
}

TEST(ToolOutputTest, JudgesTheToolsOutput) {
  struct Case {
    std::string text;
    bool success;
    std::string reason;
    size_t dropped;
  };
  const std::vector<Case> cases = {
      {"[00] Streaming ./ibdata1\n[00] completed OK!\n", true, "[00] completed OK!", 0},
      {"[00] completed OK!", true, "[00] completed OK!", 0},
      {"Starting\n[ERROR] Access denied for user\nShutting down\n", false,
       "[ERROR] Access denied for user", 0},
      {"Warning: We assume the  table was dropped during xtrabackup execution and ignore the "
       "tablespace ./db/t.ibd\ncompleted OK!\n",
       true, "completed OK!", 1},
      // The system's words are kept when the tool's last complaint leaves them out.
      {"[01] Copying ./db/t.ibd\n[01] Error writing file 'x' (Errcode: 28 \"No space left on "
       "device\")\n[01] xtrabackup: Error: failed to copy datafile.\n[00] Shutting down\n",
       false,
       "[01] xtrabackup: Error: failed to copy datafile. (the tool's system error: [01] Error "
       "writing file 'x' (Errcode: 28 \"No space left on device\"))",
       0},
      {"Starting\n[ERROR] cannot open ./ib_logfile0: Permission denied\n", false,
       "[ERROR] cannot open ./ib_logfile0: Permission denied", 0},
  };
  for (const Case& c : cases) {
    ToolOutput output("mariabackup");
    for (char ch : c.text) output.Feed(&ch, 1);
    output.Finish();
    EXPECT_EQ(output.EndsWithSuccess(), c.success) << c.text;
    EXPECT_EQ(output.Reason(), c.reason) << c.text;
    EXPECT_EQ(output.DroppedTableLines(), c.dropped) << c.text;
    if (c.dropped) {
      EXPECT_EQ(output.DroppedTablespaces().at(0), "db/t");
    }
  }
}

TEST(ToolOutputTest, TheReasonIsTakenOutOfTheLibrarysBrackets) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[mariadb-dump: Got error: 1049: \"Unknown database 'x'\"\n]",
       "mariadb-dump: Got error: 1049: \"Unknown database 'x'\""},
      {" Failed to run the command [mariabackup --prepare]. Error = [[[ERROR] InnoDB: bad\n]]",
       "[ERROR] InnoDB: bad"},
      {"MySqlChildProcess::ZU_CreateProcess failed", "MySqlChildProcess::ZU_CreateProcess failed"},
  };
  for (const auto& c : cases) EXPECT_EQ(ReasonFromText(c.first, "tool"), c.second) << c.first;
}

TEST(ToolOutputTest, TheVersionIsTheToolsOwnFirstLineNamingIt) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"[00] Connecting\n/opt/t/xtrabackup based on MariaDB server 10.11.19-MariaDB x\n",
       "mariabackup based on MariaDB server 10.11.19-MariaDB x"},
      {"[01] Copying ./db/a based on b.ibd\n", ""},  // a thread's line quoting a table
      {"[00] a\n[00] b\n[00] c\n[00] d\n[00] e\n[00] f\n[00] g\n[00] h\n[00] i\n[00] j\n"
       "x based on y\n",
       ""},  // too late to be the tool naming itself
  };
  for (const auto& c : cases) {
    ToolOutput output("xtrabackup");
    output.Feed(c.first.data(), c.first.size());
    output.Finish();
    EXPECT_EQ(output.VersionLine().empty() ? "" : ToolVersionOfLine(output.VersionLine()), c.second)
        << c.first;
  }
}

TEST(DefaultsFileTest, ADirectoryOrAMissingFileIsAnErrorNamingIt) {
  const std::string dir = TempDir();
  ASSERT_FALSE(dir.empty());
  const std::string file = JoinPath(dir, "my.cnf");
  WriteText(file, "[client]\n");
  EXPECT_NO_THROW(CheckDefaultsFile(file));
  struct Case {
    std::string path;
    const char* why;
  };
  for (const Case& c : {Case{dir, "it is a directory"},
                        Case{JoinPath(dir, "missing.cnf"), "No such file"}}) {
    try {
      CheckDefaultsFile(c.path);
      ADD_FAILURE() << c.path;
    } catch (const Failure& failure) {
      const std::string text = failure.what();
      EXPECT_NE(text.find("the defaults file " + c.path + " is not a readable file"),
                std::string::npos) << text;
      EXPECT_NE(text.find(c.why), std::string::npos) << text;
    }
  }
  ::unlink(file.c_str());
  ::rmdir(dir.c_str());
}

TEST(CheckpointTest, TheRecordOfTheLastCheckpointIsNoLogLeftToCover) {
  struct Case {
    uint64_t target, current, checkpoint;
    bool covered;
  };
  const std::vector<Case> cases = {
      {1000, 1000, 1000, true},   // checkpoint at the end
      {1000, 1200, 1000, true},   // at the target, more logged since
      {1016, 1016, 1000, true},   // only its own record after it: an idle server
      {1017, 1017, 1000, false},  // one more byte: a record to cover
      {1200, 1200, 1100, false},
      {1000, 1040, 1030, true},   // passed the target, more logged since
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CheckpointCovers(c.target, c.current, c.checkpoint, 16), c.covered)
        << c.target << " " << c.current << " " << c.checkpoint;
  }
  EXPECT_TRUE(CheckpointCovers(1024, 1024, 1000, 24));  // an encrypted log's longer record
}

TEST(FlushRecordTest, WhatIsWrittenReadsBackAndAnythingElseIsRefused) {
  FlushSettings before;
  FlushSettings hurried;
  const std::string before_[] = {"90.000000", "0.000000", "200"};
  const std::string hurried_[] = {"0", "0", "2000"};
  for (int i = 0; i < kFlushSettings; ++i) {
    before.values[i] = before_[i];
    hurried.values[i] = hurried_[i];
  }
  const std::string text = FormatFlushRecord(before, hurried);
  FlushSettings readBefore;
  FlushSettings readHurried;
  ASSERT_TRUE(ParseFlushRecord(text, &readBefore, &readHurried)) << text;
  for (int i = 0; i < kFlushSettings; ++i) {
    EXPECT_EQ(readBefore.values[i], before.values[i]);
    EXPECT_EQ(readHurried.values[i], hurried.values[i]);
  }
  EXPECT_TRUE(SameFlushSettings(readHurried, hurried));
  EXPECT_FALSE(SameFlushSettings(readHurried, readBefore));
  readHurried.values[0] = "0.000000";  // as the server prints it
  EXPECT_TRUE(SameFlushSettings(readHurried, hurried));

  const std::string good = "innodb_max_dirty_pages_pct=90 innodb_max_dirty_pages_pct_lwm=0 "
                           "innodb_io_capacity=200 > innodb_max_dirty_pages_pct=0 "
                           "innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=2000";
  EXPECT_TRUE(ParseFlushRecord(good, &readBefore, &readHurried));
  const std::string bad[] = {
      "",
      "innodb_max_dirty_pages_pct=90 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=200",
      good + " extra",
      "innodb_max_dirty_pages_pct=90 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=200 "
      "innodb_max_dirty_pages_pct=0 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=2000",
      "innodb_max_dirty_pages_pct=90 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=1,sleep(9) "
      "> innodb_max_dirty_pages_pct=0 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=2000",
      "innodb_io_capacity=200 innodb_max_dirty_pages_pct=90 innodb_max_dirty_pages_pct_lwm=0 "
      "> innodb_max_dirty_pages_pct=0 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=2000",
      "innodb_max_dirty_pages_pct=-1 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=200 "
      "> innodb_max_dirty_pages_pct=0 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=2000",
      "innodb_max_dirty_pages_pct=. innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=200 "
      "> innodb_max_dirty_pages_pct=0 innodb_max_dirty_pages_pct_lwm=0 innodb_io_capacity=2000",
  };
  for (const std::string& record : bad) {
    EXPECT_FALSE(ParseFlushRecord(record, &readBefore, &readHurried)) << record;
  }
}

// A second run on the same target fails at once naming the holder; the
// lock goes with its holder; a file left by a dead holder is taken over.
TEST(RunLockTest, OneRunPerTargetNamingTheHolder) {
  const std::string dir = TempDir();
  ASSERT_EQ(::setenv("XBAGENT_LOCK_DIR", dir.c_str(), 1), 0);
  {
    RunLock first("restore\nshop", "restores into 'shop'");
    RunLock other("restore\nother", "restores into 'other'");
    try {
      RunLock second("restore\nshop", "restores into 'shop'");
      ADD_FAILURE() << "a second lock of the same target was taken";
    } catch (const Failure& failure) {
      const std::string said = failure.what();
      EXPECT_NE(said.find("holds the lock of restores into 'shop': pid " +
                          std::to_string(::getpid())), std::string::npos) << said;
    }
  }
  RunLock again("restore\nshop", "restores into 'shop'");
  for (const std::string& name : ListDirectory(dir)) {
    WriteText(JoinPath(dir, name), "pid=999999\ncommand=xbagent backup\nstarted=then\n");
  }
  RunLock takenOver("restore\nother", "restores into 'other'");
  ::unsetenv("XBAGENT_LOCK_DIR");
  RemoveTree(dir);
}

}  // namespace
}  // namespace xbagent
