// Point-in-time restores against the throwaway server (binary log on, its
// default format): rows written in three batches, the time taken between
// the second and the third; the archive copied with binlog-archive; a whole
// server and one database (beside the live one) restored to that time equal
// a snapshot taken then; a file missing from the archive between the backup
// and the target refuses the restore before anything is changed.

#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "harness/Harness.h"

namespace {

using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Contains;
using xbtest::TempDir;
using xbtest::WriteFile;
using Result = xbtest::RunResult;

const char kDb[] = "pitr_db";

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

// Past the next whole second: events before and after differ in time.
void NextSecond() { ::usleep(1100 * 1000); }

Result Xb(const std::string& args) { return xbtest::RunProgram("xbagent", args); }

// What every test shares: the backups, the archive, the time and the
// snapshot taken at it. Made once per run of the test program.
struct History {
  std::unique_ptr<TempDir> work;
  std::string fullBackup, dbBackup, archive, until, snapshot, failure;
};

History& Shared() {
  static History history;
  return history;
}

class PointInTimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    History& h = Shared();
    if (!h.work) Make(h);
    ASSERT_TRUE(h.failure.empty()) << h.failure;
  }

  std::string Sql(const std::string& sql) {
    int status = 0;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  std::string Checksum(const std::string& cnf, const std::string& table) {
    return RunShell("mariadb --defaults-file=" + Q(cnf) + " -N -B -e " + Q("CHECKSUM TABLE " + table) +
                    " 2>&1 | cut -f2");
  }

  void Batch(int first, int last, const std::string& tag) {
    Sql(std::string("USE ") + kDb + "; INSERT INTO t SELECT seq, '" + tag + "' FROM seq_" +
        std::to_string(first) + "_to_" + std::to_string(last) + ";");
  }

  void Make(History& h) {
    h.work.reset(new TempDir("xbpitr"));
    ::chmod(h.work->path().c_str(), 0755);
    h.fullBackup = *h.work / "full";
    h.dbBackup = *h.work / "db";
    h.archive = *h.work / "archive";
    Sql(std::string("DROP DATABASE IF EXISTS ") + kDb + "; DROP DATABASE IF EXISTS pitr_as;"
        "CREATE DATABASE " + kDb + "; USE " + kDb + ";"
        "CREATE TABLE t (id INT PRIMARY KEY, batch VARCHAR(10)) ENGINE=InnoDB;");
    Batch(1, 500, "one");
    Result r = Xb("backup -q --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) +
                  " --output-dir " + Q(h.fullBackup));
    if (r.status != 0) h.failure = "full backup: " + r.err;
    r = Xb("backup -q --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) +
           " --database " + kDb + " --output-dir " + Q(h.dbBackup));
    if (r.status != 0) h.failure += "database backup: " + r.err;
    // The second batch in a file of its own: the file a gap test removes.
    Sql("FLUSH BINARY LOGS");
    Batch(501, 1000, "two");
    Sql("FLUSH BINARY LOGS");
    NextSecond();
    h.until = xbtest::LocalNow();
    h.snapshot = Checksum(sandbox_.cnf, std::string(kDb) + ".t");
    NextSecond();
    Batch(1001, 1500, "three");
    r = Xb("binlog-archive -q --defaults-file " + Q(sandbox_.cnf) + " --to " + Q(h.archive) + " --once");
    if (r.status != 0) h.failure += "binlog-archive: " + r.err;
  }

  // The file after the backup's (it holds the second batch).
  std::string FileAfterBackup(const std::string& backup) {
    std::string info = ReadFile(backup + "/xtrabackup_binlog_info");
    std::string file = info.substr(0, info.find('\t'));
    size_t dot = file.rfind('.');
    std::string number = std::to_string(std::stoul(file.substr(dot + 1)) + 1);
    return file.substr(0, dot + 1) + std::string(6 - number.size(), '0') + number;
  }

  // Starts a server on datadir, returns what check gives, stops it.
  std::string OnRestored(const std::string& datadir, const std::string& sql) {
    const std::string run = *Shared().work / "run";
    const std::string cnf = *Shared().work / "run.cnf";
    ::mkdir(run.c_str(), 0755);
    RunShell("chown mysql:mysql " + Q(run));
    WriteFile(cnf, "[client]\nsocket=" + run + "/s.sock\nuser=root\n\n[mysqld]\ndatadir=" + datadir +
                       "\nsocket=" + run + "/s.sock\npid-file=" + run + "/s.pid\nlog-error=" + run +
                       "/error.log\nskip-networking\nserver-id=2\n");
    RunShell("setsid mariadbd --defaults-file=" + Q(cnf) + " --user=mysql </dev/null >/dev/null 2>&1 &");
    bool up = false;
    for (int i = 0; i < 300 && !up; ++i) {
      int status = 1;
      RunShell("mariadb-admin --defaults-file=" + Q(cnf) + " ping >/dev/null 2>&1", &status);
      up = status == 0;
      if (!up) ::usleep(100000);
    }
    std::string out = up ? RunShell("mariadb --defaults-file=" + Q(cnf) + " -N -B -e " + Q(sql) + " 2>&1")
                         : std::string();
    RunShell("pid=$(cat " + Q(run + "/s.pid") + " 2>/dev/null); [ -n \"$pid\" ] && kill $pid; "
             "for i in $(seq 1 100); do [ -n \"$pid\" ] && kill -0 $pid 2>/dev/null || break; "
             "sleep 0.1; done");
    EXPECT_TRUE(up) << ReadFile(run + "/error.log");
    return out;
  }

  xbtest::Sandbox sandbox_;
};

TEST_F(PointInTimeTest, TheArchiveIndexesEveryFileWithItsChecks) {
  std::string index = ReadFile(Shared().archive + "/index.json");
  EXPECT_TRUE(Contains(index, "\"checked\": \"size+sha256\"")) << index;
  EXPECT_TRUE(Contains(index, "\"closed\": false")) << "the open file is indexed too\n" << index;
  // A rerun resumes and changes no checked file.
  Result r = Xb("binlog-archive -q --defaults-file " + Q(sandbox_.cnf) + " --to " + Q(Shared().archive) +
                " --once");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string again = ReadFile(Shared().archive + "/index.json");
  EXPECT_EQ(again.substr(0, again.rfind("\"closed\": false")).find("\"closed\": true"),
            index.substr(0, index.rfind("\"closed\": false")).find("\"closed\": true"));
}

TEST_F(PointInTimeTest, AWholeServerRestoredUntilATimeHasTheFirstTwoBatches) {
  const std::string target = *Shared().work / "data";
  Result r = Xb("restore --full --from " + Q(Shared().fullBackup) + " --target-datadir " + Q(target) +
                " --binlogs " + Q(Shared().archive) + " --until " + Q(Shared().until));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "last_gtid=")) << r.out;
  std::string restored = OnRestored(target, std::string("SELECT batch, COUNT(*) FROM ") + kDb +
                                                 ".t GROUP BY batch ORDER BY MIN(id); CHECKSUM TABLE " +
                                                 kDb + ".t");
  EXPECT_TRUE(Contains(restored, "one\t500\ntwo\t500\n")) << restored;
  EXPECT_FALSE(Contains(restored, "three")) << restored;
  EXPECT_TRUE(Contains(restored, std::string(kDb) + ".t\t" + Shared().snapshot)) << restored;
}

TEST_F(PointInTimeTest, OneDatabaseRestoredUntilATimeBesideTheLiveOne) {
  Result r = Xb("restore -q --database " + std::string(kDb) + " --as pitr_as --from " +
                Q(Shared().dbBackup) + " --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " +
                Q(sandbox_.toolDir) + " --binlogs " + Q(Shared().archive) + " --until " +
                Q(Shared().until));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Checksum(sandbox_.cnf, "pitr_as.t"), Shared().snapshot);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM pitr_as.t WHERE batch = 'three'"), "0\n");
  EXPECT_EQ(Sql(std::string("SELECT COUNT(*) FROM ") + kDb + ".t"), "1500\n") << "the live one is untouched";
}

TEST_F(PointInTimeTest, AFileMissingFromTheArchiveRefusesBeforeAnyChange) {
  const std::string gap = *Shared().work / "gap";
  RunShell("cp -a " + Q(Shared().archive) + " " + Q(gap));
  const std::string missing = FileAfterBackup(Shared().fullBackup);
  ASSERT_EQ(::unlink((gap + "/" + missing).c_str()), 0) << missing;

  const std::string target = *Shared().work / "gapdata";
  Result r = Xb("restore --full --from " + Q(Shared().fullBackup) + " --target-datadir " + Q(target) +
                " --binlogs " + Q(gap) + " --until " + Q(Shared().until));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "gap: " + missing)) << r.err;
  EXPECT_FALSE(xbtest::PathExists(target));

  r = Xb("restore --database " + std::string(kDb) + " --as pitr_gap --from " + Q(Shared().dbBackup) +
         " --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) + " --binlogs " +
         Q(gap) + " --until " + Q(Shared().until));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  EXPECT_EQ(Sql("SHOW DATABASES LIKE 'pitr_gap'"), "");

  // The file gone from the index as well: the sequence itself has a gap.
  nlohmann::json index = nlohmann::json::parse(ReadFile(gap + "/index.json"));
  nlohmann::json kept = nlohmann::json::array();
  for (const auto& file : index["files"]) {
    if (file["file"] != missing) kept.push_back(file);
  }
  index["files"] = kept;
  WriteFile(gap + "/index.json", index.dump(2));
  r = Xb("restore --full --from " + Q(Shared().fullBackup) + " --target-datadir " + Q(target) +
         " --binlogs " + Q(gap) + " --until " + Q(Shared().until));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "has a gap")) << r.err;
  EXPECT_FALSE(xbtest::PathExists(target));
}

// The archiver killed by SIGKILL while it copies: its copier ends with it,
// and the next run resumes. Every closed file is the server's byte for byte
// (SHA-256 checked), the open one a prefix of the server's: nothing lost,
// nothing twice.
TEST_F(PointInTimeTest, AnArchiverKilledMidCopyResumesWithoutLossOrDuplicates) {
  const std::string archive = *Shared().work / "killed";
  const std::string pid = RunShell("setsid " + Q(xbtest::BinDir() + "/xbagent") +
                                   " binlog-archive -q --defaults-file " + Q(sandbox_.cnf) + " --to " +
                                   Q(archive) + " </dev/null >/dev/null 2>&1 & echo $!");
  ASSERT_FALSE(pid.empty());
  ::usleep(1500 * 1000);
  Batch(2001, 2500, "four");
  Sql("FLUSH BINARY LOGS");
  Batch(2501, 3000, "five");
  ::usleep(2500 * 1000);
  RunShell("kill -9 " + pid);
  // The copier is gone with it (within a second).
  std::string left;
  for (int i = 0; i < 20; ++i) {
    // "[-]" keeps the pattern from matching the shell that runs pgrep.
    left = RunShell("pgrep -f -- " + Q("[-]-result-file=" + archive + "/") + " || true");
    if (left.empty()) break;
    ::usleep(100 * 1000);
  }
  EXPECT_EQ(left, "") << "mariadb-binlog outlived the archiver";

  Batch(3001, 3500, "six");
  Result r = Xb("binlog-archive -q --defaults-file " + Q(sandbox_.cnf) + " --to " + Q(archive) + " --once");
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json index = nlohmann::json::parse(ReadFile(archive + "/index.json"));
  const std::string logs = sandbox_.datadir + "/";
  ASSERT_GE(index["files"].size(), 2u);
  for (size_t i = 0; i < index["files"].size(); ++i) {
    const auto& file = index["files"][i];
    const std::string name = file["file"];
    const bool last = i + 1 == index["files"].size();
    EXPECT_EQ(file["closed"], !last) << name;
    if (!last) {
      EXPECT_EQ(file["checked"], "size+sha256") << name;
    }
    // The server's file differs at most in its "in use" flag (bytes 22 and
    // 23, in the first event's header), set in its open file and in one it
    // had open when it crashed: compared after it. A closed copy is whole,
    // the open one a prefix.
    const std::string copy = Q(archive + "/" + name);
    int status = 1;
    RunShell(last ? "n=$(stat -c %s " + copy + "); cmp -i 23 -n $((n - 23)) " + copy + " " +
                        Q(logs + name)
                  : "cmp -i 23 " + copy + " " + Q(logs + name),
             &status);
    EXPECT_EQ(status, 0) << "the copy differs from the server's " << name;
  }
  // Each batch's statement is in the archive once.
  for (const char* batch : {"four", "five", "six"}) {
    EXPECT_EQ(RunShell("mariadb-binlog " + Q(archive) + "/*.0* 2>/dev/null | grep -c \"'" + batch + "'\""),
              "1\n")
        << batch;
  }
}

// A server crash leaves the binary log it had open with the in-use flag
// set on disk; the server sends it with the flag cleared. The archive still
// checks that file against the server's and goes on.
TEST_F(PointInTimeTest, AServerCrashLeavesTheArchiveWorking) {
  TempDir work("xbpitr-crash");
  Batch(4001, 4100, "seven");
  ASSERT_TRUE(xbtest::CrashAndRestart(sandbox_));
  Result r = Xb("binlog-archive -q --defaults-file " + Q(sandbox_.cnf) + " --to " +
                Q(work / "archive") + " --once");
  ASSERT_EQ(r.status, 0) << r.err;
  nlohmann::json index = nlohmann::json::parse(ReadFile(work / "archive/index.json"));
  ASSERT_GE(index["files"].size(), 2u);
  for (size_t i = 0; i + 1 < index["files"].size(); ++i) {
    EXPECT_EQ(index["files"][i]["checked"], "size+sha256") << index["files"][i]["file"];
  }
}

TEST_F(PointInTimeTest, ATargetLaterThanTheArchiveRefuses) {
  const std::string target = *Shared().work / "latedata";
  Result r = Xb("restore --full --from " + Q(Shared().fullBackup) + " --target-datadir " + Q(target) +
                " --binlogs " + Q(Shared().archive) + " --until '2099-01-01 00:00:00'");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "does not reach the target")) << r.err;
  EXPECT_FALSE(xbtest::PathExists(target));
}

}  // namespace
