// A one-database backup taken while a client inserts rows, one autocommit
// transaction each, then restored beside the live database to a moment
// after it from the archived binary logs: the rows equal the live ones at
// that moment (none missing, none applied twice). A backup whose recorded
// coordinates lie before its data's is refused for a point-in-time restore.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <string>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::Contains;
using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::TempDir;
using xbtest::WriteFile;
using Result = xbtest::RunResult;

const char kDb[] = "xbload_db";
const char kCopy[] = "xbload_copy";

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

// Just past the next whole second of the clock: events before and after
// differ in time.
void NextSecond() {
  const std::time_t now = std::time(nullptr);
  while (std::time(nullptr) == now) ::usleep(10 * 1000);
  ::usleep(20 * 1000);
}

// A client inserting one row per transaction into the database (its
// default database), about a hundred a second, until a file appears (or
// 30 s).
pid_t StartLoad(const std::string& cnf, const std::string& stopFile) {
  const std::string script =
      "end=$(( $(date +%s) + 30 )); while [ ! -e " + Q(stopFile) +
      " ] && [ $(date +%s) -lt $end ]; do echo 'INSERT INTO t (v) VALUES (1);'; sleep 0.01; "
      "done | mariadb --defaults-file=" + Q(cnf) + " " + kDb;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::execl("/bin/sh", "sh", "-c", script.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  return pid;
}

class LoadedPointInTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    if (::geteuid() != 0) GTEST_SKIP() << "restoring into the server's datadir needs root";
  }
  void TearDown() override {
    if (sandbox_.available()) {
      sandbox_.Sql(std::string("DROP DATABASE IF EXISTS ") + kDb + "; DROP DATABASE IF EXISTS " +
                   kCopy + ";");
    }
  }

  std::string Sql(const std::string& sql) {
    int status = 0;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  Result Xb(const std::string& args) {
    return xbtest::RunProgram("xbagent", args + " --defaults-file " + Q(sandbox_.cnf));
  }

  Result Restore(const std::string& backup, const std::string& archive, const std::string& until) {
    return Xb("restore --database " + std::string(kDb) + " --as " + kCopy + " --from " + Q(backup) +
              " --tool-dir " + Q(sandbox_.toolDir) + " --binlogs " + Q(archive) + " --until " +
              Q(until));
  }

  xbtest::Sandbox sandbox_;
};

TEST_F(LoadedPointInTimeTest, RestoreToAMomentAfterABackupUnderLoadEqualsTheLiveRows) {
  TempDir work("xbload");
  ::chmod(work.path().c_str(), 0755);
  Sql(std::string("DROP DATABASE IF EXISTS ") + kDb + "; DROP DATABASE IF EXISTS " + kCopy +
      "; CREATE DATABASE " + kDb + "; CREATE TABLE " + kDb +
      ".t (id INT AUTO_INCREMENT PRIMARY KEY, v INT) ENGINE=InnoDB;");
  // Where the binary log stands before the load: an event boundary.
  const std::string master = Sql("SHOW MASTER STATUS");
  const std::string before = master.substr(master.find('\t') + 1,
                                           master.find('\t', master.find('\t') + 1) -
                                               master.find('\t') - 1);
  const std::string stop = work / "stop";
  const pid_t load = StartLoad(sandbox_.cnf, stop);
  ASSERT_GT(load, 0);
  ::usleep(300 * 1000);
  Result backup = Xb("backup -q --tool-dir " + Q(sandbox_.toolDir) + " --database " + kDb +
                     " --output-dir " + Q(work / "backup"));
  ::usleep(300 * 1000);
  WriteFile(stop, "");
  int status = 0;
  ::waitpid(load, &status, 0);
  ASSERT_EQ(backup.status, 0) << backup.err;

  NextSecond();
  const std::string until = xbtest::LocalNow();
  const std::string live = Sql(std::string("CHECKSUM TABLE ") + kDb + ".t");
  const std::string rows = Sql(std::string("SELECT COUNT(*) FROM ") + kDb + ".t");
  NextSecond();
  Sql(std::string("INSERT INTO ") + kDb + ".t (v) VALUES (2)");  // after the target
  Result r = Xb("binlog-archive -q --to " + Q(work / "archive") + " --once");
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string recorded = ReadFile(work / "backup/xtrabackup_binlog_info");
  ASSERT_NE(std::stoul(rows), 0u);

  r = Restore(work / "backup", work / "archive", until);
  ASSERT_EQ(r.status, 0) << r.err << "\nrecorded: " << recorded;
  EXPECT_FALSE(Contains(r.err, "replayed 0 transaction")) << r.err;
  EXPECT_EQ(Sql(std::string("SELECT COUNT(*) FROM ") + kCopy + ".t"), rows) << recorded;
  std::string copy = Sql(std::string("CHECKSUM TABLE ") + kCopy + ".t");
  EXPECT_EQ(copy.substr(copy.find('\t')), live.substr(live.find('\t')));

  // Coordinates recorded before the data's last transaction (where the
  // load began): a replay from them would apply transactions twice, so the
  // restore is refused.
  const std::string manifest = ReadFile(work / "backup/manifest.json");
  const std::string field = "\"position\": ";
  const size_t at = manifest.find(field, manifest.find("\"binlog\""));
  ASSERT_NE(at, std::string::npos) << manifest;
  const size_t end = manifest.find_first_not_of("0123456789", at + field.size());
  WriteFile(work / "backup/manifest.json",
            manifest.substr(0, at + field.size()) + before + manifest.substr(end));
  Sql(std::string("DROP DATABASE ") + kCopy);
  r = Restore(work / "backup", work / "archive", until);
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_TRUE(Contains(r.err, "apply those transactions twice")) << r.err;
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  EXPECT_EQ(Sql(std::string("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME "
                            "= '") + kCopy + "'"),
            "0\n");
}

}  // namespace
