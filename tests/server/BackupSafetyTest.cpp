// xbagent backups that must restore: every object kind of a database, a
// DDL during the backup, the checkpoint after a restore, names kept from
// before the file-name encoding, and tables with DATA DIRECTORY through a
// whole-server restore.

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::PathExists;
using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Contains;
using xbtest::TempDir;
using xbtest::WriteFile;
using Result = xbtest::RunResult;

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

// "mtime size sha256" of a file.
std::string FileState(const std::string& path) {
  return RunShell("stat -c '%Y %s' " + Q(path) + " && sha256sum " + Q(path));
}

class BackupSafetyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    if (::access((xbtest::BinDir() + "/xbagent").c_str(), X_OK) != 0) {
      GTEST_SKIP() << "xbagent not built";
    }
  }

  Result Xb(const std::string& args) {
    return xbtest::RunProgram("xbagent", args + " --tool-dir " + Q(sandbox_.toolDir));
  }

  Result Backup(const std::string& database, const std::string& dir) {
    return Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(database) +
              " --output-dir " + Q(dir));
  }

  std::string Sql(const std::string& sql) {
    int status = 0;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  std::string SqlOn(const std::string& cnf, const std::string& sql) {
    int status = 0;
    std::string out = RunShell("mariadb --defaults-file=" + Q(cnf) + " -N -B -e " + Q(sql) +
                                   " 2>&1",
                               &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  // Every object of database db as the server shows it, without the
  // timestamps that a re-creation changes.
  std::string Objects(const std::string& db) {
    return Sql("USE `" + db + "`; SHOW FULL TABLES; "
               "SELECT ROUTINE_TYPE, ROUTINE_NAME, ROUTINE_DEFINITION FROM "
               "information_schema.ROUTINES WHERE ROUTINE_SCHEMA = '" + db + "' ORDER BY 2; "
               "SELECT TRIGGER_NAME, ACTION_STATEMENT FROM information_schema.TRIGGERS "
               "WHERE TRIGGER_SCHEMA = '" + db + "' ORDER BY 1; "
               "SELECT EVENT_NAME, EVENT_DEFINITION, INTERVAL_VALUE, STATUS FROM "
               "information_schema.EVENTS WHERE EVENT_SCHEMA = '" + db + "' ORDER BY 1; "
               "SHOW CREATE VIEW v; SHOW CREATE SEQUENCE s; CHECKSUM TABLE t, a;");
  }

  xbtest::Sandbox sandbox_;
};

TEST_F(BackupSafetyTest, EveryObjectKindRoundTripsAndUnrestorableEnginesAreNamed) {
  const std::string db = "xbsafe_objects";
  Sql("DROP DATABASE IF EXISTS " + db + "; CREATE DATABASE " + db + "; USE " + db + ";\n"
      "CREATE TABLE t (id INT PRIMARY KEY AUTO_INCREMENT, v INT) ENGINE=InnoDB;\n"
      "INSERT INTO t (v) SELECT seq FROM seq_1_to_300;\n"
      "CREATE TABLE a (id INT PRIMARY KEY, v INT) ENGINE=Aria;\n"
      "INSERT INTO a SELECT seq, seq FROM seq_1_to_50;\n"
      "CREATE TABLE c (id INT NOT NULL) ENGINE=CSV;\n"
      "CREATE VIEW v AS SELECT id, v * 2 AS w FROM t;\n"
      "CREATE TRIGGER tr BEFORE INSERT ON t FOR EACH ROW SET NEW.v = NEW.v + 1;\n"
      "CREATE PROCEDURE p() SELECT COUNT(*) FROM t;\n"
      "CREATE FUNCTION f(x INT) RETURNS INT DETERMINISTIC RETURN x + 1;\n"
      "CREATE EVENT e ON SCHEDULE EVERY 1 DAY DISABLE DO DELETE FROM t WHERE id < 0;\n"
      "CREATE SEQUENCE s START WITH 10; SELECT NEXTVAL(s);\n");
  TempDir work("xbsafe-objects");

  // The CSV table is named at backup time, in the output and the manifest,
  // and the one-database restore still refuses it before changing anything.
  Result r = Backup(db, work / "with-csv");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "warning: table `" + db + "`.`c` uses the CSV engine")) << r.err;
  std::string manifest = ReadFile(work / "with-csv/manifest.json");
  std::string unsupported = manifest.substr(manifest.find("\"unsupported_tables\""));
  EXPECT_TRUE(Contains(unsupported.substr(0, unsupported.find(']')), "\"engine\": \"CSV\""))
      << manifest;
  std::string schema = ReadFile(work / "with-csv/schema.sql");
  for (const char* kind : {"CREATE SEQUENCE", "EVENT `e`", "TRIGGER tr BEFORE INSERT", "PROCEDURE `p`",
                           "FUNCTION `f`", "VIEW `v`"}) {
    EXPECT_TRUE(Contains(schema, kind)) << kind << "\n" << schema;
  }
  r = Xb("restore --database " + db + " --from " + Q(work / "with-csv") +
         " --replace --defaults-file " + Q(sandbox_.cnf));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "CSV")) << r.err;

  // Without it, every object comes back equal.
  Sql("DROP TABLE " + db + ".c");
  const std::string before = Objects(db);
  r = Backup(db, work / "backup");
  ASSERT_EQ(r.status, 0) << r.err;
  Sql("USE " + db + "; DROP VIEW v; DROP TRIGGER tr; DROP PROCEDURE p; DROP FUNCTION f; "
      "DROP EVENT e; DROP SEQUENCE s; DELETE FROM t WHERE id < 100; DELETE FROM a;");
  r = Xb("restore --database " + db + " --from " + Q(work / "backup") +
         " --replace --defaults-file " + Q(sandbox_.cnf));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Objects(db), before);

  // A backup right after the restore, with the server's default InnoDB
  // settings, holds every table (the tool's trap is met by a checkpoint).
  r = Backup(db, work / "after-restore");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(PathExists(work / "after-restore/manifest.json"));
  Sql("DROP DATABASE " + db);
}

TEST_F(BackupSafetyTest, AlterDuringTheBackupFailsNamingTheTableOrRestoresEqual) {
  const std::string db = "xbsafe_alter";
  Sql("DROP DATABASE IF EXISTS " + db + "; CREATE DATABASE " + db + "; USE " + db + ";\n"
      "CREATE TABLE big (id INT PRIMARY KEY, pad CHAR(200)) ENGINE=InnoDB;\n"
      "INSERT INTO big SELECT seq, REPEAT('x', 200) FROM seq_1_to_20000;\n"
      "CREATE TABLE t (id INT PRIMARY KEY, v INT) ENGINE=InnoDB;\n"
      "INSERT INTO t SELECT seq, seq FROM seq_1_to_100;\n");
  TempDir work("xbsafe-alter");
  // The tool's throttle keeps the backup running for a few seconds.
  WriteFile(work / "settings.ini", "[MySQL]\nsAdvancedXtraBackupOptions=--throttle=1\n");
  ::setenv("XTRABACKUP_UTIL_SETTINGS", (work / "settings.ini").c_str(), 1);
  const std::string out = work / "backup";
  const std::string sumsBefore = Sql("CHECKSUM TABLE " + db + ".t, " + db + ".big");
  int status = 0;
  RunShell("( " + Q(xbtest::BinDir() + "/xbagent") + " backup --defaults-file " +
               Q(sandbox_.cnf) + " --database " + db + " --tool-dir " + Q(sandbox_.toolDir) +
               " --output-dir " + Q(out) + " 2>" + Q(work / "err") + "; echo $? >" +
               Q(work / "rc") + " ) </dev/null & sleep 1.5; mariadb --defaults-file=" +
               Q(sandbox_.cnf) + " -e 'ALTER TABLE " + db +
               ".t ADD COLUMN w INT DEFAULT 7'; wait",
           &status);
  ::unsetenv("XTRABACKUP_UTIL_SETTINGS");
  const std::string rc = ReadFile(work / "rc");
  const std::string err = ReadFile(work / "err");
  if (rc != "0\n") {
    EXPECT_EQ(rc, "1\n") << err;
    EXPECT_TRUE(Contains(err, "changed during the backup (table `t`)")) << err;
    EXPECT_FALSE(PathExists(out));
  } else {
    // Under load the ALTER may come wholly before or after the backup: the
    // restore must then give the tables as the backup's schema has them.
    const bool altered = Contains(ReadFile(out + "/schema.sql"), "`w` int");
    const std::string sums =
        altered ? Sql("CHECKSUM TABLE " + db + ".t, " + db + ".big") : sumsBefore;
    Result r = Xb("restore --database " + db + " --from " + Q(out) +
                  " --replace --defaults-file " + Q(sandbox_.cnf));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Sql("CHECKSUM TABLE " + db + ".t, " + db + ".big"), sums);
  }
  Sql("DROP DATABASE " + db);
}

// ... and restores: into itself with --replace, and beside it with --as (the
// tool's export writes no .cfg for its tables; the restore has them written).
TEST_F(BackupSafetyTest, DatabaseNamedWithTheOldPrefixIsBackedUpFromItsDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "makes a directory in the server's data directory";
  const std::string dir = sandbox_.datadir + "/xbsafe-old-db";
  RunShell("rm -rf " + Q(dir) + " && mkdir " + Q(dir) + " && chown mysql:mysql " + Q(dir));
  const std::string db = "#mysql50#xbsafe-old-db";
  Sql("DROP DATABASE IF EXISTS xbsafe_old_copy;"
      "CREATE TABLE `" + db + "`.t (id INT PRIMARY KEY, v INT, KEY (v)) ENGINE=InnoDB;"
      "INSERT INTO `" + db + "`.t VALUES (1, 1), (2, 2);"
      "CREATE TABLE `" + db + "`.m (id INT PRIMARY KEY) ENGINE=MyISAM;"
      "INSERT INTO `" + db + "`.m VALUES (1);");
  const std::string sums = "CHECKSUM TABLE `" + db + "`.t, `" + db + "`.m";
  const std::string expected = Sql(sums);
  TempDir work("xbsafe-old");
  ::chmod(work.path().c_str(), 0755);
  Result r = Backup(db, work / "backup");
  EXPECT_EQ(r.status, 0) << r.err;
  Sql("DELETE FROM `" + db + "`.t; DELETE FROM `" + db + "`.m;");
  r = Xb("restore --database " + Q(db) + " --from " + Q(work / "backup") + " --defaults-file " +
         Q(sandbox_.cnf) + " --replace");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Sql(sums), expected);
  r = Xb("restore --database " + Q(db) + " --as xbsafe_old_copy --from " +
         Q(work / "backup") + " --defaults-file " + Q(sandbox_.cnf));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM xbsafe_old_copy.t WHERE v > 0; SELECT * FROM "
                "xbsafe_old_copy.m;"),
            "2\n1\n");
  Sql("DROP DATABASE xbsafe_old_copy");
  EXPECT_TRUE(Contains(ReadFile(work / "backup/manifest.json"),
                       "\"database_on_disk\": \"xbsafe-old-db\""));
  int status = 0;
  RunShell("mkdir " + Q(work / "x") + " && mbstream -x -C " + Q(work / "x") + " < " +
               Q(work / "backup/backup.xbstream"),
           &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(PathExists(work / "x/xbsafe-old-db/t.frm"));

  r = Backup("#mysql50#xbsafe-no-such", work / "none");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "does not exist")) << r.err;
  Sql("DROP DATABASE `" + db + "`");
}

// The tool locks each table of another engine than InnoDB with a statement
// that leaves a backtick in its names unescaped (a syntax error halfway
// through the backup): such a table is refused before the tool runs, named.
// InnoDB tables with such names back up.
TEST_F(BackupSafetyTest, NonInnodbTableWithABacktickInItsNameIsRefusedBeforeTheTool) {
  TempDir work("xbsafe-tick");
  struct Case {
    std::string database, create, named, why;
  };
  const Case cases[] = {
      {"xbsafe_tick", "CREATE TABLE xbsafe_tick.`my``isam` (a INT) ENGINE=MyISAM",
       "`xbsafe_tick`.`my``isam` (MyISAM engine)", "backtick in its table name"},
      {"xbsafe`tick", "CREATE TABLE `xbsafe``tick`.ar (a INT) ENGINE=Aria",
       "`xbsafe``tick`.`ar` (Aria engine)", "backtick in its database name"},
  };
  for (const Case& c : cases) {
    Sql("DROP DATABASE IF EXISTS `xbsafe_tick`; DROP DATABASE IF EXISTS `xbsafe``tick`;"
        "CREATE DATABASE xbsafe_tick; CREATE DATABASE `xbsafe``tick`;" + c.create);
    Result r = Backup(c.database, work / "refused");
    EXPECT_EQ(r.status, 1) << c.database;
    EXPECT_TRUE(Contains(r.err, c.named)) << r.err;
    EXPECT_TRUE(Contains(r.err, c.why)) << r.err;
    EXPECT_FALSE(Contains(r.err, "BACKUP LOCK `")) << "the tool ran: " << r.err;
    EXPECT_FALSE(PathExists(work / "refused"));
  }
  Sql("DROP DATABASE `xbsafe``tick`; DROP DATABASE xbsafe_tick; CREATE DATABASE xbsafe_tick;"
      "CREATE TABLE xbsafe_tick.`inno``db` (a INT) ENGINE=InnoDB;");
  Result r = Backup("xbsafe_tick", work / "innodb");
  EXPECT_EQ(r.status, 0) << r.err;
  Sql("DROP DATABASE xbsafe_tick");
}

TEST_F(BackupSafetyTest, WholeServerRestoreHoldsDataDirectoryTables) {
  if (::geteuid() != 0) GTEST_SKIP() << "restore --full runs as root";
  TempDir work("xbsafe-remote");
  ::chmod(work.path().c_str(), 0755);  // the servers run as mysql
  const std::string remote = work / "remote";
  RunShell("mkdir " + Q(remote) + " && chown mysql:mysql " + Q(remote));
  const std::string db = "xbsafe_remote";
  Sql("DROP DATABASE IF EXISTS " + db + "; CREATE DATABASE " + db + "; USE " + db + ";\n"
      "CREATE TABLE ri (id INT PRIMARY KEY, v INT) ENGINE=InnoDB DATA DIRECTORY='" + remote +
      "';\nINSERT INTO ri SELECT seq, seq FROM seq_1_to_500;\n"
      "CREATE TABLE rm (id INT PRIMARY KEY, v INT) ENGINE=MyISAM DATA DIRECTORY='" + remote +
      "' INDEX DIRECTORY='" + remote + "';\nINSERT INTO rm SELECT seq, seq FROM seq_1_to_500;\n");
  const std::string sql = "CHECKSUM TABLE " + db + ".ri, " + db + ".rm";
  const std::string sums = Sql(sql);
  Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --output-dir " +
                Q(work / "backup"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string liveIbd = remote + "/" + db + "/ri.ibd";
  const std::string liveBefore = FileState(liveIbd);

  const std::string target = work / "data";
  r = Xb("restore --full --from " + Q(work / "backup") + " --target-datadir " + Q(target));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(FileState(liveIbd), liveBefore) << "the prepare left the live tablespace alone";
  EXPECT_FALSE(PathExists(target + "/" + db + "/ri.isl"));
  EXPECT_TRUE(PathExists(target + "/" + db + "/ri.ibd"));
  // The first server's rows change, so a second server reading the live
  // files would not give the backup's checksums.
  Sql("UPDATE " + db + ".ri SET v = v + 1; UPDATE " + db + ".rm SET v = v + 1; "
      "FLUSH TABLES " + db + ".ri, " + db + ".rm");

  const std::string run = work / "run";
  const std::string cnf = work / "my.cnf";
  RunShell("mkdir " + Q(run) + " && chown mysql:mysql " + Q(run));
  WriteFile(cnf, "[client]\nsocket=" + run + "/s.sock\nuser=root\n\n[mysqld]\ndatadir=" +
                     target + "\nsocket=" + run + "/s.sock\npid-file=" + run + "/s.pid" +
                     "\nlog-error=" + run + "/error.log" +
                     "\nskip-networking\nserver-id=2\n");
  RunShell("setsid mariadbd --defaults-file=" + Q(cnf) + " --user=mysql </dev/null >" +
           Q(work / "out.log") + " 2>&1 &");
  bool up = false;
  for (int i = 0; i < 300 && !up; ++i) {
    int status = 1;
    RunShell("mariadb-admin --defaults-file=" + Q(cnf) + " ping >/dev/null 2>&1", &status);
    up = status == 0;
    if (!up) ::usleep(100000);
  }
  std::string restored = up ? SqlOn(cnf, sql) : std::string();
  std::string open = up ? RunShell("ls -l /proc/$(cat " + Q(run + "/s.pid") + ")/fd") : "";
  RunShell("pid=$(cat " + Q(run + "/s.pid") + " 2>/dev/null); [ -n \"$pid\" ] && kill $pid; "
           "for i in $(seq 1 100); do [ -n \"$pid\" ] && kill -0 $pid 2>/dev/null || break; "
           "sleep 0.1; done");
  ASSERT_TRUE(up) << ReadFile(run + "/error.log");
  EXPECT_EQ(restored, sums);
  EXPECT_NE(Sql(sql), sums) << "the first server's rows changed";
  EXPECT_FALSE(Contains(open, remote)) << open;
  Sql("DROP DATABASE " + db);
}

}  // namespace
