// xbagent verify, info and list against the throwaway server: a good backup
// restores on a scratch server and verifies; a stream damaged inside a data
// page of a table, re-hashed so the manifest matches, is caught by the
// restore; an interrupted verify leaves no server and no scratch files.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Contains;
using xbtest::Sha256Of;
using xbtest::TempDir;
using xbtest::WriteFile;
using Result = xbtest::RunResult;

const char kDb[] = "verify_db";
constexpr size_t kPage = 16384;

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

uint32_t Crc32(const unsigned char* data, size_t length) {
  uint32_t crc = 0xffffffffu;
  for (size_t i = 0; i < length; ++i) {
    crc ^= data[i];
    for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

uint64_t Le(const std::string& data, size_t at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(data[at + i]);
  return value;
}

// Flips 16 bytes in the body of one page (pageNo) of the file `path` (.ibd
// or .new) inside an xbstream, and fixes that chunk's checksum so only
// InnoDB can tell. Returns false when the page was not found.
bool DamagePage(std::string& stream, const std::string& stem, size_t pageNo) {
  size_t pos = 0;
  while (pos + 14 <= stream.size()) {
    if (stream.compare(pos, 8, "XBSTCK01") != 0) return false;
    char type = stream[pos + 9];
    size_t pathLength = Le(stream, pos + 10, 4);
    std::string path = stream.substr(pos + 14, pathLength);
    pos += 14 + pathLength;
    if (type == 'E') continue;
    uint64_t length = Le(stream, pos, 8);
    uint64_t offset = Le(stream, pos + 8, 8);
    size_t header = pos;
    pos += 20;
    const size_t at = pageNo * kPage;
    if ((path == stem + ".ibd" || path == stem + ".new") && offset <= at &&
        at + kPage <= offset + length) {
      for (size_t i = 0; i < 16; ++i) stream[pos + at - offset + 8000 + i] ^= '\xff';
      uint32_t crc = Crc32(reinterpret_cast<const unsigned char*>(stream.data() + pos), length);
      for (int i = 0; i < 4; ++i) stream[header + 16 + i] = static_cast<char>(crc >> (8 * i));
      return true;
    }
    pos += length;
  }
  return false;
}

class VerifyTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    shared_.reset(new TempDir("xbverify-suite"));
    // The throwaway server runs as mysql and must reach its scratch directory.
    ::chmod(shared_->path().c_str(), 0755);
  }
  static void TearDownTestSuite() { shared_.reset(); }

  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    if (!ready_) {
      Sql(std::string("DROP DATABASE IF EXISTS ") + kDb + ";\nCREATE DATABASE " + kDb + ";\n" +
          "USE " + kDb + ";\n"
          "CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(100), KEY kv (v)) ENGINE=InnoDB;\n"
          "INSERT INTO t SELECT seq, REPEAT(CHAR(65 + seq % 26), 90) FROM seq_1_to_6000;\n"
          "CREATE TABLE parts (id INT PRIMARY KEY, v INT) PARTITION BY HASH (id) PARTITIONS 2;\n"
          "INSERT INTO parts SELECT seq, seq FROM seq_1_to_100;\n"
          "CREATE TABLE plain (id INT) ENGINE=MyISAM;\nINSERT INTO plain VALUES (1), (2);\n"
          "CREATE TABLE aria (id INT) ENGINE=Aria;\nINSERT INTO aria VALUES (3);\n");
      ready_ = true;
    }
  }

  Result Xb(const std::string& args) { return xbtest::RunProgram("xbagent", args); }

  std::string Sql(const std::string& sql) {
    int status = 0;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  // Pages of new tables are written by the redo log during the prepare;
  // damage must sit in a page the data file holds on its own, so InnoDB
  // writes its dirty pages and a checkpoint before the backup.
  void Checkpoint() {
    auto trimmed = [](std::string text) {
      text.erase(text.find_last_not_of("\n") + 1);
      return text;
    };
    // Done when no page is dirty and the redo log holds no more than the
    // checkpoint's own record. The server's own request flushes and writes
    // one, changing no setting.
    for (int i = 0; i < 300; ++i) {
      Sql("SET GLOBAL innodb_log_checkpoint_now = ON");
      std::string age = trimmed(Sql("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                                    "WHERE VARIABLE_NAME = 'INNODB_CHECKPOINT_AGE'"));
      std::string dirty = trimmed(Sql("SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS "
                                      "WHERE VARIABLE_NAME = 'INNODB_BUFFER_POOL_PAGES_DIRTY'"));
      if (dirty == "0" && !age.empty() && std::stoull(age) < 1024) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }

  std::string Backup(const std::string& name, const std::string& extra = "") {
    std::string dir = *shared_ / name;
    Result r = Xb("backup -q --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " +
                  Q(sandbox_.toolDir) + " --output-dir " + Q(dir) + extra);
    EXPECT_EQ(r.status, 0) << r.err;
    return dir;
  }

  Result Verify(const std::string& dir, const std::string& scratch, const std::string& extra = "") {
    return Xb("verify " + Q(dir) + " --scratch-dir " + Q(scratch) + " --tool-dir " +
              Q(sandbox_.toolDir) + extra);
  }

  static bool Empty(const std::string& dir) {
    return RunShell("ls -A " + Q(dir)).empty();
  }

  static std::unique_ptr<TempDir> shared_;
  static bool ready_;
  xbtest::Sandbox sandbox_;
};

std::unique_ptr<TempDir> VerifyTest::shared_;
bool VerifyTest::ready_ = false;

TEST_F(VerifyTest, AGoodWholeServerBackupVerifiesAndRecordsIt) {
  std::string dir = Backup("good");
  std::string scratch = *shared_ / "scratch-good";
  ::mkdir(scratch.c_str(), 0755);
  std::string manifestBefore = ReadFile(dir + "/manifest.json");
  std::string streamSha = Sha256Of(dir + "/backup.xbstream");

  Result r = Verify(dir, scratch);
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  for (const char* table : {"t (InnoDB)", "parts (InnoDB)", "plain (MyISAM)", "aria (Aria)"}) {
    EXPECT_TRUE(Contains(r.out, std::string("OK        ") + kDb + "." + table)) << r.out;
  }
  EXPECT_TRUE(Contains(r.out, "verdict: OK")) << r.out;
  EXPECT_TRUE(Empty(scratch)) << RunShell("ls -lA " + Q(scratch));

  // verify.json is written beside, nothing the manifest covers changes.
  std::string record = ReadFile(dir + "/verify.json");
  EXPECT_TRUE(Contains(record, "\"verdict\": \"OK\"")) << record;
  EXPECT_TRUE(Contains(record, "\"verified_at\"")) << record;
  EXPECT_TRUE(Contains(record, "\"duration_seconds\"")) << record;
  EXPECT_EQ(ReadFile(dir + "/manifest.json"), manifestBefore);
  EXPECT_EQ(Sha256Of(dir + "/backup.xbstream"), streamSha);

  // info and list read it back.
  r = Xb("info " + Q(dir));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "whole server")) << r.out;
  EXPECT_TRUE(Contains(r.out, "verified:       OK ")) << r.out;
  EXPECT_TRUE(Contains(r.out, "binlog:         mysql-bin.")) << r.out;
  r = Xb("info --json " + Q(dir));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"verdict\": \"OK\"")) << r.out;
}

TEST_F(VerifyTest, AOneDatabaseBackupVerifiesOnAFreshServer) {
  std::string dir = Backup("onedb", std::string(" --database ") + kDb);
  std::string scratch = *shared_ / "scratch-onedb";
  ::mkdir(scratch.c_str(), 0755);
  Result r = Verify(dir, scratch, " --json");
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "\"verdict\": \"OK\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"tables_total\": 4")) << r.out;
  EXPECT_FALSE(Contains(r.out, "\"mysql\"")) << r.out;
  EXPECT_EQ(r.out, ReadFile(dir + "/verify.json"));
  EXPECT_TRUE(Empty(scratch)) << RunShell("ls -lA " + Q(scratch));

  // A failing mariadb-install-db is reported by its error line, not by its
  // closing plea.
  TempDir fake("verify-installer");
  WriteFile(fake / "mariadb-install-db",
            "#!/bin/sh\ncat <<'EOF'\nInstalling MariaDB/MySQL system tables in '/x' ...\n"
            "2026-01-01 0 [ERROR] mariadbd: Can't create/write to file '/x/aria_log_control' "
            "(Errcode: 13 \"Permission denied\")\n\n"
            "Please check all of the above before submitting a bug report\nEOF\nexit 1\n");
  ::chmod((fake / "mariadb-install-db").c_str(), 0755);
  const std::string path = std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin";
  ::setenv("PATH", (fake.path() + ":" + path).c_str(), 1);
  r = Verify(dir, scratch);
  ::setenv("PATH", path.c_str(), 1);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, "mariadb-install-db failed (exit status 1): 2026-01-01 0 [ERROR] "
                              "mariadbd: Can't create/write")) << r.out;
  EXPECT_FALSE(Contains(r.out, "Please check all")) << r.out;
}

TEST_F(VerifyTest, ADamagedDataPageFailsVerifyNamingTheTable) {
  Checkpoint();
  std::string dir = Backup("damaged");
  std::string stream = ReadFile(dir + "/backup.xbstream");
  ASSERT_TRUE(DamagePage(stream, std::string(kDb) + "/t", 6));
  WriteFile(dir + "/backup.xbstream", stream);
  // The manifest is made to match: only restoring can tell.
  std::string manifest = ReadFile(dir + "/manifest.json");
  size_t at = manifest.find("\"sha256\": \"");
  ASSERT_NE(at, std::string::npos);
  manifest.replace(at + 11, 64, Sha256Of(dir + "/backup.xbstream"));
  WriteFile(dir + "/manifest.json", manifest);

  std::string scratch = *shared_ / "scratch-damaged";
  ::mkdir(scratch.c_str(), 0755);
  Result r = Verify(dir, scratch);
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(Contains(r.out, std::string("CORRUPT   ") + kDb + ".t (InnoDB)") ||
              Contains(r.out, "verdict: FAILED (0 of 0")) << r.out;
  EXPECT_TRUE(Contains(r.out, "verdict: FAILED")) << r.out;
  EXPECT_TRUE(Contains(ReadFile(dir + "/verify.json"), "\"verdict\": \"FAILED\""));
  EXPECT_TRUE(Empty(scratch)) << RunShell("ls -lA " + Q(scratch));

  r = Xb("list " + Q(shared_->path()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "FAILED 20")) << r.out;
}

TEST_F(VerifyTest, ListShowsTheBackupsNewestFirst) {
  TempDir root("xblist");
  std::string older = root / "older";
  Result r = Xb("backup -q --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " +
                Q(sandbox_.toolDir) + " --database " + kDb + " --output-dir " + Q(older));
  ASSERT_EQ(r.status, 0) << r.err;
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  ::mkdir((root / "nested").c_str(), 0755);
  std::string newer = root / "nested/newer";
  r = Xb("backup -q --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) +
         " --output-dir " + Q(newer));
  ASSERT_EQ(r.status, 0) << r.err;
  WriteFile(root / "not-a-backup.txt", "x");

  r = Xb("list " + Q(root.path()));
  EXPECT_EQ(r.status, 0) << r.err;
  size_t first = r.out.find(newer);
  size_t second = r.out.find(older);
  ASSERT_NE(first, std::string::npos) << r.out;
  ASSERT_NE(second, std::string::npos) << r.out;
  EXPECT_LT(first, second) << r.out;
  EXPECT_TRUE(Contains(r.out, std::string("database  ") + kDb)) << r.out;
  EXPECT_TRUE(Contains(r.out, "server  ")) << r.out;
  EXPECT_TRUE(Contains(r.out, "never")) << r.out;

  r = Xb("list --json " + Q(root.path()));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "\"kind\": \"database\"")) << r.out;
  EXPECT_TRUE(Contains(r.out, "\"verification\": null")) << r.out;
  EXPECT_LT(r.out.find("newer"), r.out.find("older")) << r.out;

  r = Xb("info " + Q(older));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, std::string("database '") + kDb + "'")) << r.out;
  EXPECT_TRUE(Contains(r.out, "verified:       never")) << r.out;
  r = Xb("info " + Q(root.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "not a backup directory")) << r.err;
}

TEST_F(VerifyTest, AnInterruptedVerifyStopsItsServerAndRemovesItsScratch) {
  std::string dir = Backup("interrupted");
  std::string scratch = *shared_ / "scratch-interrupted";
  ::mkdir(scratch.c_str(), 0755);
  std::string log = *shared_ / "interrupted.log";
  std::string pidText = RunShell(Q(xbtest::BinDir() + "/xbagent") + " verify " + Q(dir) +
                                 " --scratch-dir " + Q(scratch) + " --tool-dir " +
                                 Q(sandbox_.toolDir) + " >" + Q(log) + " 2>&1 </dev/null & echo $!");
  pid_t pid = std::stoi(pidText);
  // Wait until the throwaway server answers on its socket, then stop xbagent.
  std::string serverPid;
  for (int i = 0; i < 600 && serverPid.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    serverPid = RunShell("cat " + Q(scratch) + "/*/server.pid 2>/dev/null");
  }
  ASSERT_FALSE(serverPid.empty()) << ReadFile(log);
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 600 && ::kill(pid, 0) == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_NE(::kill(pid, 0), 0) << "xbagent still runs";
  EXPECT_TRUE(Contains(ReadFile(log), "interrupted")) << ReadFile(log);
  EXPECT_NE(::kill(std::stoi(serverPid), 0), 0) << "the throwaway server still runs";
  EXPECT_TRUE(Empty(scratch)) << RunShell("ls -lA " + Q(scratch));
  EXPECT_FALSE(xbtest::PathExists(dir + "/verify.json"));
}

}  // namespace
