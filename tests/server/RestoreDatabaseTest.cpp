// xbagent restore --database against the throwaway server, with the
// server's default InnoDB flushing: one database with every kind of table is
// backed up, changed, and restored into the running server; an existing
// database is never touched without --replace; a restore that fails before
// its swap changes nothing; --as restores beside the live database, --table
// restores single tables; SIGINT stops a restore within 2 s and a rerun
// after SIGKILL cleans up; nothing reaches the binary log; foreign keys of
// other databases follow the restored tables.

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Contains;
using xbtest::CrashAndRestart;
using xbtest::Sandbox;
using xbtest::TempDir;
using xbtest::WriteFile;

// Unique to this file; the server stores it encoded on disk.
const char kDb[] = "xbrd_my-db";
const char kOddTable[] = "t \xc3\xa9-1";  // "t é-1"
const char kOther[] = "xbrd_other";  // holds a foreign key to kDb.parent
const char kCopy[] = "xbrd_copy";    // --as target
const char kBig[] = "xbrd_big";      // a table whose restore takes seconds

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

std::string Ident(const std::string& name) { return "`" + name + "`"; }

using Result = xbtest::RunResult;

// Every table kind the restore handles, with rows.
std::string SampleSql() {
  std::string db = Ident(kDb);
  std::string odd = Ident(kOddTable);
  return "SET foreign_key_checks = 0;\n"
         "DROP DATABASE IF EXISTS " + Ident(kOther) + ";\n"
         "DROP DATABASE IF EXISTS " + db + ";\n"
         "CREATE DATABASE " + db + ";\n"
         "USE " + db + ";\n"
         "SET foreign_key_checks = 0;  -- child is created before parent\n"
         "CREATE TABLE " + odd + " (id INT PRIMARY KEY, v VARCHAR(40), KEY kv (v)) ENGINE=InnoDB;\n"
         "INSERT INTO " + odd + " SELECT seq, CONCAT('v', seq) FROM seq_1_to_2000;\n"
         "CREATE TABLE child (id INT PRIMARY KEY, parent_id INT, KEY (parent_id),\n"
         "  CONSTRAINT fk_child FOREIGN KEY (parent_id) REFERENCES parent (id)) ENGINE=InnoDB;\n"
         "CREATE TABLE parent (id INT PRIMARY KEY, name VARCHAR(20), KEY (name)) ENGINE=InnoDB;\n"
         "INSERT INTO parent SELECT seq, CONCAT('p', seq) FROM seq_1_to_100;\n"
         "INSERT INTO child SELECT seq, 1 + seq % 100 FROM seq_1_to_500;\n"
         "CREATE TABLE comp (id INT PRIMARY KEY, v VARCHAR(100), KEY (v)) ENGINE=InnoDB\n"
         "  ROW_FORMAT=COMPRESSED KEY_BLOCK_SIZE=8;\n"
         "INSERT INTO comp SELECT seq, REPEAT('x', seq % 90) FROM seq_1_to_1000;\n"
         "CREATE TABLE inst (id INT PRIMARY KEY, a INT) ENGINE=InnoDB;\n"
         "INSERT INTO inst SELECT seq, seq FROM seq_1_to_300;\n"
         "ALTER TABLE inst ADD COLUMN b VARCHAR(20) DEFAULT 'dflt', ALGORITHM=INSTANT;\n"
         "ALTER TABLE inst ADD COLUMN c INT DEFAULT 7 FIRST, ALGORITHM=INSTANT;\n"
         "INSERT INTO inst (id, a, b, c) SELECT seq, seq, 'new', seq FROM seq_301_to_400;\n"
         "CREATE TABLE rng (id INT, d INT, v VARCHAR(10), PRIMARY KEY (id, d)) PARTITION BY RANGE (d)\n"
         "  (PARTITION p0 VALUES LESS THAN (10), PARTITION `p-1` VALUES LESS THAN (20),\n"
         "   PARTITION pmax VALUES LESS THAN MAXVALUE);\n"
         "INSERT INTO rng SELECT seq, seq % 30, 'r' FROM seq_1_to_600;\n"
         "CREATE TABLE hsh (id INT PRIMARY KEY, v INT) PARTITION BY HASH (id) PARTITIONS 3;\n"
         "INSERT INTO hsh SELECT seq, seq * 7 FROM seq_1_to_300;\n"
         "CREATE TABLE sub (id INT, d INT, PRIMARY KEY (id, d)) PARTITION BY RANGE (d)\n"
         "  SUBPARTITION BY HASH (id) SUBPARTITIONS 2\n"
         "  (PARTITION p0 VALUES LESS THAN (10), PARTITION p1 VALUES LESS THAN MAXVALUE);\n"
         "INSERT INTO sub SELECT seq, seq % 20 FROM seq_1_to_400;\n"
         "CREATE TABLE docs (id INT PRIMARY KEY, body TEXT, FULLTEXT KEY ft_body (body)) ENGINE=InnoDB;\n"
         "INSERT INTO docs SELECT seq, CONCAT('note number ', seq, ' about topic', seq % 7)\n"
         "  FROM seq_1_to_500;\n"
         "INSERT INTO docs VALUES (1000, 'alpha beta'), (1001, 'gamma delta');\n"
         "CREATE TABLE my (id INT PRIMARY KEY, v INT, KEY (v)) ENGINE=MyISAM;\n"
         "INSERT INTO my SELECT seq, seq FROM seq_1_to_500;\n"
         "CREATE TABLE ar (id INT PRIMARY KEY, v INT) ENGINE=Aria;\n"
         "INSERT INTO ar SELECT seq, seq * 5 FROM seq_1_to_500;\n"
         "CREATE TABLE mem (id INT) ENGINE=MEMORY;\n"
         "CREATE VIEW vw AS SELECT id, name FROM parent;\n"
         "CREATE TRIGGER tr BEFORE INSERT ON parent FOR EACH ROW SET NEW.name = UPPER(NEW.name);\n"
         "CREATE PROCEDURE pc() SELECT COUNT(*) FROM " + db + ".parent;\n"
         "CREATE DATABASE " + Ident(kOther) + ";\n"
         "CREATE TABLE " + Ident(kOther) + ".oc (id INT PRIMARY KEY, p INT, KEY (p),\n"
         "  CONSTRAINT ofk FOREIGN KEY (p) REFERENCES " + db + ".parent (id)) ENGINE=InnoDB;\n";
}

// Names of the tables, views, triggers and routines of a database.
std::string ObjectsQuery(const std::string& db) {
  std::string in = "'" + db + "'";
  return "SELECT CONCAT('table ', TABLE_NAME) FROM information_schema.TABLES WHERE TABLE_SCHEMA = " +
         in + " UNION ALL SELECT CONCAT('trigger ', TRIGGER_NAME) FROM information_schema.TRIGGERS "
         "WHERE TRIGGER_SCHEMA = " + in + " UNION ALL SELECT CONCAT('routine ', ROUTINE_NAME) FROM "
         "information_schema.ROUTINES WHERE ROUTINE_SCHEMA = " + in + " ORDER BY 1;\n";
}

using xbtest::Background;

Background Start(const std::string& args, const std::string& dir, const std::string& tmpdir) {
  return xbtest::StartXbagent(args, dir, tmpdir);
}

int WaitFor(pid_t pid, double limit, double* seconds) {
  return xbtest::WaitForExit(pid, limit, seconds);
}

const char* const kTables[] = {kOddTable, "parent", "child", "comp", "inst", "rng",
                               "hsh",     "sub",    "docs",  "my",   "ar"};

class RestoreDatabaseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_.reset(new TempDir("xbrd-suite")); }
  static void TearDownTestSuite() {
    Sandbox sandbox = xbtest::GetSandbox();
    if (sandbox.available()) {
      sandbox.Sql("SET foreign_key_checks = 0;\n"
                  "DROP DATABASE IF EXISTS " + Ident(kOther) + ";\n"
                  "DROP DATABASE IF EXISTS " + Ident(kCopy) + ";\n"
                  "DROP DATABASE IF EXISTS " + Ident(kBig) + ";\n"
                  "DROP DATABASE IF EXISTS " + Ident(kDb) + ";\n");
    }
    shared_.reset();
  }

  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    bin_ = xbtest::BinDir() + "/xbagent";
    if (::access(bin_.c_str(), X_OK) != 0) GTEST_SKIP() << "xbagent not built at " << bin_;
    if (::geteuid() != 0) GTEST_SKIP() << "restoring into the server's datadir needs root";
    // Eager flushing would hide what a restore meets on users' servers (the
    // checkpoint after an import): GetSandbox fails a server off the defaults.
    ASSERT_FALSE(HasFailure());
    ASSERT_FALSE(Backup().empty());
  }

  Result Xb(const std::string& args) { return xbtest::RunProgram("xbagent", args); }

  std::string Sql(const std::string& sql) {
    int status = 0;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  // CHECKSUM TABLE of every table with data (the checksums only, one a
  // line, so databases can be compared).
  std::string Checksums(const std::string& database = kDb) {
    std::string list;
    for (const char* table : kTables) {
      if (!list.empty()) list += ", ";
      list += Ident(database) + "." + Ident(table);
    }
    return RunShell("printf '%s' " + Q(Sql("CHECKSUM TABLE " + list + ";\n")) + " | cut -f2");
  }

  std::string TableChecksum(const std::string& database, const std::string& table) {
    return Sql("CHECKSUM TABLE " + Ident(database) + "." + Ident(table) + ";\n").substr(
        database.size() + table.size() + 2);
  }

  std::string Leftovers() {
    return Sql("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
               "'xbagent#%';\n");
  }

  std::string Common() {
    return " --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir);
  }

  std::string Restore(const std::string& from, bool replace, Result* result,
                      const std::string& extra = "") {
    *result = Xb("restore --database " + Q(kDb) + " --from " + Q(from) + Common() +
                 (replace ? " --replace" : "") + extra);
    return result->err;
  }

  // Changes rows and drops tables, so a restore has something to undo.
  void Damage() {
    std::string db = Ident(kDb);
    Sql("USE " + db + ";\n"
        "SET foreign_key_checks = 0;\n"
        "DELETE FROM child WHERE id < 10;\n"
        "UPDATE " + Ident(kOddTable) + " SET v = 'changed' WHERE id < 50;\n"
        "DROP TABLE IF EXISTS docs;\n"
        "DROP TABLE IF EXISTS sub;\n"
        "DELETE FROM rng WHERE id < 20;\n"
        "DELETE FROM my WHERE id < 3;\n"
        "UPDATE ar SET v = 0 WHERE id < 3;\n"
        "REPLACE INTO inst (id, a) VALUES (1000, 1);\n");
  }

  // The sample database backed up once; its checksums at backup time.
  const std::string& Backup() {
    if (backupDir_.empty()) {
      Sql(SampleSql());
      expected_ = Checksums();
      // Dirty pages of the new tables reach the disk before the backup.
      Sql("FLUSH TABLES;\n");
      std::string dir = *shared_ / "backup";
      Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
                    " --output-dir " + Q(dir) + " --tool-dir " + Q(sandbox_.toolDir));
      EXPECT_EQ(r.status, 0) << r.err;
      if (r.status == 0) backupDir_ = dir;
    }
    return backupDir_;
  }

  static std::unique_ptr<TempDir> shared_;
  static std::string backupDir_;
  static std::string expected_;
  Sandbox sandbox_;
  std::string bin_;
};

std::unique_ptr<TempDir> RestoreDatabaseTest::shared_;
std::string RestoreDatabaseTest::backupDir_;
std::string RestoreDatabaseTest::expected_;

TEST_F(RestoreDatabaseTest, RestoresEveryTableKindAfterChangesAndDrops) {
  Damage();
  ASSERT_NE(Checksums(), expected_);

  // Where the binary log stands before the restore.
  std::string master = Sql("SHOW MASTER STATUS;\n");
  std::string binlog = master.substr(0, master.find('\t'));
  std::string position = master.substr(binlog.size() + 1);
  position = position.substr(0, position.find('\t'));
  ASSERT_FALSE(binlog.empty()) << master;

  Result r;
  Restore(backupDir_, true, &r);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Checksums(), expected_);
  // Nothing of the restore reached the binary log.
  std::string logged = RunShell("mariadb-binlog --start-position=" + position + " " +
                                Q(sandbox_.datadir + "/" + binlog) + " 2>&1");
  EXPECT_TRUE(Contains(logged, "End of log file")) << logged;
  EXPECT_FALSE(Contains(logged, kDb)) << logged;
  EXPECT_FALSE(Contains(logged, "xbagent")) << logged;
  // The foreign key of the other database references the restored table.
  std::string other = Ident(kOther);
  Sql("INSERT INTO " + other + ".oc VALUES (1, 5);\n");
  int rejected = 0;
  sandbox_.Sql("INSERT INTO " + other + ".oc VALUES (2, 999999);\n", &rejected);
  EXPECT_NE(rejected, 0) << "the other database's foreign key is not enforced";
  EXPECT_TRUE(Contains(Sql("SHOW CREATE TABLE " + other + ".oc;\n"),
                       "REFERENCES `" + std::string(kDb) + "`.`parent`"));
  Sql("DELETE FROM " + other + ".oc;\n");
  EXPECT_EQ(Leftovers(), "0\n");
  // A backup right after the restore holds every table (the restore made
  // InnoDB write a checkpoint).
  Result again = Xb("backup" + Common() + " --database " + Q(kDb) + " --output-dir " +
                    Q(*shared_ / "after-restore"));
  EXPECT_EQ(again.status, 0) << again.err;
  EXPECT_FALSE(Contains(again.err, "dropped during")) << again.err;
  EXPECT_TRUE(Contains(r.out, "file_number=")) << r.out;
  EXPECT_TRUE(Contains(r.out, "position=")) << r.out;
  EXPECT_TRUE(Contains(r.err, "3 partitioned (10 partitions)")) << r.err;
  EXPECT_TRUE(Contains(r.err, "1 MyISAM")) << r.err;
  EXPECT_TRUE(Contains(r.err, "1 Aria")) << r.err;

  std::string db = Ident(kDb);
  // The rebuilt FULLTEXT index answers.
  EXPECT_EQ(Sql("SELECT id FROM " + db + ".docs WHERE MATCH (body) AGAINST ('gamma');\n"),
            "1001\n");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + db + ".docs WHERE MATCH (body) AGAINST ('topic3');\n"),
            "72\n");
  // Views, triggers and foreign keys came back with the schema.
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + db + ".vw;\n"), "100\n");
  Sql("INSERT INTO " + db + ".parent VALUES (1000, 'lower');\n");
  EXPECT_EQ(Sql("SELECT name FROM " + db + ".parent WHERE id = 1000;\n"), "LOWER\n");
  Sql("DELETE FROM " + db + ".parent WHERE id = 1000;\n");
  int status = 0;
  sandbox_.Sql("INSERT INTO " + db + ".child VALUES (100000, 999999);\n", &status);
  EXPECT_NE(status, 0) << "the foreign key is not enforced after the restore";
  EXPECT_EQ(Sql("CHECK TABLE " + db + ".docs, " + db + ".my, " + db + ".ar, " + db +
                ".inst;\n").find("error"),
            std::string::npos);
  // No work tables, staging or copied .cfg files are left behind.
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                std::string(kDb) + "' AND TABLE_NAME LIKE 'xbagent%';\n"),
            "0\n");
  std::string dbDir = sandbox_.datadir + "/xbrd_my@002ddb";
  EXPECT_EQ(RunShell("ls -A " + Q(dbDir) + " | grep -E '\\.cfg$|xbagent' || true"), "");
  // Statistics were gathered.
  EXPECT_NE(Sql("SELECT COUNT(*) FROM mysql.innodb_table_stats WHERE database_name = '" +
                std::string(kDb) + "';\n"),
            "0\n");
}

TEST_F(RestoreDatabaseTest, RefusesAnExistingDatabaseWithoutReplace) {
  // Make sure the database exists and differs from the backup.
  Result r;
  Restore(backupDir_, true, &r);
  ASSERT_EQ(r.status, 0) << r.err;
  Damage();
  const std::string before = Checksums();
  ASSERT_NE(before, expected_);
  std::string tablesBefore =
      Sql("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
          std::string(kDb) + "' ORDER BY 1;\n");

  Restore(backupDir_, false, &r);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "already exists")) << r.err;
  EXPECT_TRUE(Contains(r.err, "--replace")) << r.err;
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(Checksums(), before);
  EXPECT_EQ(Sql("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '" +
                std::string(kDb) + "' ORDER BY 1;\n"),
            tablesBefore);

  // A backup of another database is refused as well, before anything happens.
  r = Xb("restore --database other_db --from " + Q(backupDir_) + " --defaults-file " +
         Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) + " --replace");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "holds database '" + std::string(kDb) + "'")) << r.err;
  EXPECT_EQ(Checksums(), before);
}

// A copy of the backup with an edited schema.sql (the manifest updated to it
// so the copy passes verification).
std::string EditedBackup(const std::string& backup, const std::string& copy,
                         const std::string& from, const std::string& to) {
  RunShell("rm -rf " + Q(copy) + " && cp -a " + Q(backup) + " " + Q(copy));
  std::string schema = ReadFile(copy + "/schema.sql");
  size_t at = schema.find(from);
  if (at == std::string::npos) return "no '" + from + "' in the schema";
  schema.replace(at, from.size(), to);
  std::string oldSha = RunShell("sha256sum " + Q(copy + "/schema.sql") + " | cut -c1-64");
  WriteFile(copy + "/schema.sql", schema);
  std::string newSha = RunShell("sha256sum " + Q(copy + "/schema.sql") + " | cut -c1-64");
  std::string manifest = ReadFile(copy + "/manifest.json");
  at = manifest.find(oldSha.substr(0, 64));
  if (at == std::string::npos) return "no schema SHA-256 in the manifest";
  manifest.replace(at, 64, newSha.substr(0, 64));
  WriteFile(copy + "/manifest.json", manifest);
  return "";
}

TEST_F(RestoreDatabaseTest, FailureBeforeTheSwapChangesNothing) {
  struct Case {
    const char* what;
    const char* from;
    const char* to;
    std::vector<std::string> says;
  };
  const Case cases[] = {
      // The schema disagrees with a tablespace, as in a backup taken while
      // the table was ALTERed: the server refuses that IMPORT.
      {"schema and data disagree", "`b` varchar(20)", "`b` varchar(90)",
       {"table `inst`", "IMPORT TABLESPACE", "Schema mismatch"}},
      // A view on a table of a database that no longer exists.
      {"schema cannot be applied", "CREATE TABLE `parent`",
       "CREATE VIEW `bad` AS SELECT * FROM `xbrd_gone`.`t`;\nCREATE TABLE `parent`",
       {"cannot be applied", "xbrd_gone"}},
  };
  Damage();
  const std::string before = Checksums();
  const std::string objects = Sql(ObjectsQuery(kDb));
  ASSERT_TRUE(Contains(objects, "trigger tr")) << objects;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string copy = *shared_ / "edited";
    ASSERT_EQ(EditedBackup(backupDir_, copy, c.from, c.to), "");
    Result r;
    Restore(copy, true, &r);
    EXPECT_EQ(r.status, 1);
    for (const std::string& part : c.says) EXPECT_TRUE(Contains(r.err, part)) << r.err;
    EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
    EXPECT_EQ(Checksums(), before);
    EXPECT_EQ(Sql(ObjectsQuery(kDb)), objects);
    EXPECT_EQ(Leftovers(), "0\n");
  }
  Result r;
  Restore(backupDir_, true, &r);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Checksums(), expected_);
}

TEST_F(RestoreDatabaseTest, StreamOtherThanRecordedIsRefusedChangingNothing) {
  // The stream's digest is computed while it is extracted and prepared: a
  // changed byte stops the extractor and is named; a stream that extracts
  // and prepares well but is not the one recorded is refused after the
  // prepare. The extracted files go before the server is touched.
  Damage();
  const std::string before = Checksums();
  const std::string copy = *shared_ / "changed";
  struct Case {
    const char* what;
    std::string change;
  } cases[] = {
      {"a changed byte", "printf 'Z' | dd of=" + Q(copy + "/backup.xbstream") +
                             " bs=1 seek=$(($(stat -c %s " + Q(copy + "/backup.xbstream") +
                             ") / 2)) conv=notrunc status=none"},
      {"another recorded digest",
       "sed -i \"s/$(sha256sum < " + Q(copy + "/backup.xbstream") + " | cut -c1-64)/" +
           std::string(64, 'a') + "/\" " + Q(copy + "/manifest.json") + " && grep -q " +
           std::string(64, 'a') + " " + Q(copy + "/manifest.json")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    int status = 0;
    RunShell("rm -rf " + Q(copy) + " && cp -a " + Q(backupDir_) + " " + Q(copy) + " && " +
                 c.change,
             &status);
    ASSERT_EQ(status, 0);
    Result r;
    Restore(copy, true, &r);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "SHA-256")) << r.err;
    EXPECT_TRUE(Contains(r.err, "does not match")) << r.err;
    EXPECT_EQ(Checksums(), before);
    EXPECT_EQ(Leftovers(), "0\n");
  }
}

TEST_F(RestoreDatabaseTest, AsNewNameRestoresBesideTheLiveDatabase) {
  Damage();
  const std::string before = Checksums();
  ASSERT_NE(before, expected_);
  std::string copy = Ident(kCopy);
  Sql("SET foreign_key_checks = 0;\nDROP DATABASE IF EXISTS " + copy + ";\n");

  // The plan, and nothing else.
  Result r;
  Restore(backupDir_, false, &r, " --as " + Q(kCopy) + " --dry-run");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.out, "dry run")) << r.out;
  EXPECT_TRUE(Contains(r.out, "partitioned")) << r.out;
  EXPECT_TRUE(Contains(r.out, "disk space")) << r.out;
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = '" +
                std::string(kCopy) + "';\n"),
            "0\n");

  // Staging on another file system where there is one (a tmpfs): the
  // tablespaces are copied into the shadow instead of renamed.
  const std::string shm = "/dev/shm/xbrd-staging-" + std::to_string(::getpid());
  struct stat shmInfo, dataInfo;
  const bool otherFs = ::stat("/dev/shm", &shmInfo) == 0 &&
                       ::stat(sandbox_.datadir.c_str(), &dataInfo) == 0 &&
                       shmInfo.st_dev != dataInfo.st_dev;
  Restore(backupDir_, false, &r,
          " --as " + Q(kCopy) + " --json" + (otherFs ? " --staging-dir " + Q(shm) : ""));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(::access(shm.c_str(), F_OK), 0);
  EXPECT_TRUE(Contains(r.out, "\"target\": \"" + std::string(kCopy) + "\"")) << r.out;
  EXPECT_EQ(Checksums(kCopy), expected_);
  EXPECT_EQ(Checksums(), before);
  // The trigger of the new database fires on the new database's table.
  Sql("INSERT INTO " + copy + ".parent VALUES (1000, 'lower');\n");
  EXPECT_EQ(Sql("SELECT name FROM " + copy + ".parent WHERE id = 1000;\n"), "LOWER\n");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + Ident(kDb) + ".parent WHERE id = 1000;\n"), "0\n");
  // The routine refers to the new database.
  std::string routine = Sql("SELECT ROUTINE_DEFINITION FROM information_schema.ROUTINES WHERE "
                            "ROUTINE_SCHEMA = '" + std::string(kCopy) + "';\n");
  EXPECT_TRUE(Contains(routine, kCopy)) << routine;
  EXPECT_FALSE(Contains(routine, kDb)) << routine;
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + copy + ".vw;\n"), "101\n");

  // NEWNAME exists now: only with --replace.
  Restore(backupDir_, false, &r, " --as " + Q(kCopy));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + copy + ".parent;\n"), "101\n");
  Sql("SET foreign_key_checks = 0;\nDROP DATABASE " + copy + ";\n");
}

TEST_F(RestoreDatabaseTest, TableOptionReplacesOnlyThatTable) {
  Result r;
  Restore(backupDir_, true, &r);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string inst = TableChecksum(kDb, "inst");
  Damage();
  const std::string damagedInst = TableChecksum(kDb, "inst");
  const std::string damagedAr = TableChecksum(kDb, "ar");
  ASSERT_NE(damagedInst, inst);

  Restore(backupDir_, false, &r, " --table inst");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "already exists")) << r.err;
  EXPECT_EQ(TableChecksum(kDb, "inst"), damagedInst);

  Restore(backupDir_, true, &r, " --table inst");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TableChecksum(kDb, "inst"), inst);
  EXPECT_EQ(TableChecksum(kDb, "ar"), damagedAr);
  // The view and the trigger of another table are still there.
  EXPECT_TRUE(Contains(Sql(ObjectsQuery(kDb)), "trigger tr"));
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + Ident(kDb) + ".vw;\n"), "100\n");
  EXPECT_EQ(Leftovers(), "0\n");

  // A table with a trigger, referenced by a table that stays (child) and by
  // one of another database: its trigger comes back, both keys hold.
  Restore(backupDir_, true, &r, " --table parent");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string db = Ident(kDb);
  Sql("INSERT INTO " + db + ".parent VALUES (1000, 'lower');\n");
  EXPECT_EQ(Sql("SELECT name FROM " + db + ".parent WHERE id = 1000;\n"), "LOWER\n");
  Sql("DELETE FROM " + db + ".parent WHERE id = 1000;\n");
  for (const std::string& child : {db + ".child", Ident(kOther) + ".oc"}) {
    int rejected = 0;
    sandbox_.Sql("INSERT INTO " + child + " VALUES (100000, 999999);\n", &rejected);
    EXPECT_NE(rejected, 0) << child;
    Sql("INSERT INTO " + child + " VALUES (100000, 7);\nDELETE FROM " + child +
        " WHERE id = 100000;\n");
  }
  EXPECT_EQ(TableChecksum(kDb, "ar"), damagedAr);
}

// A row of another database referencing a parent row newer than the backup
// would reference nothing after the restore: refused before the swap,
// naming the table and the count; --allow-orphans accepts it.
TEST_F(RestoreDatabaseTest, OrphaningRowsOfAnotherDatabaseIsRefusedUnlessAllowed) {
  const std::string db = Ident(kDb);
  const std::string oc = Ident(kOther) + ".oc";
  Sql("DELETE FROM " + oc + ";\nDELETE FROM " + db + ".parent WHERE id = 5000;\n"
      "INSERT INTO " + db + ".parent VALUES (5000, 'new');\n"
      "INSERT INTO " + oc + " VALUES (1, 5000), (2, 7), (3, NULL);\n");
  const std::string parent = TableChecksum(kDb, "parent");
  Result r;
  Restore(backupDir_, true, &r, " --table parent");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "1 row(s) of `" + std::string(kOther) + "`.`oc`")) << r.err;
  EXPECT_TRUE(Contains(r.err, "--allow-orphans")) << r.err;
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  EXPECT_EQ(TableChecksum(kDb, "parent"), parent);
  EXPECT_EQ(Leftovers(), "0\n");

  Restore(backupDir_, true, &r, " --table parent --allow-orphans");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "stay orphaned")) << r.err;
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + db + ".parent WHERE id = 5000;\n"), "0\n");
  Sql("DELETE FROM " + oc + ";\n");
}

TEST_F(RestoreDatabaseTest, LockWaitTimesOutNamingTheSessionAndChangesNothing) {
  Result r;
  Restore(backupDir_, true, &r);
  ASSERT_EQ(r.status, 0) << r.err;
  Damage();
  const std::string before = Checksums();
  const std::string objects = Sql(ObjectsQuery(kDb));
  // A session in a transaction that read the table holds its metadata lock.
  pid_t holder = ::fork();
  if (holder == 0) {
    ::setpgid(0, 0);
    std::string command = "(echo 'BEGIN; SELECT COUNT(*) FROM " + Ident(kDb) +
                          ".parent;'; sleep 60) | mariadb --defaults-file=" + Q(sandbox_.cnf) +
                          " >/dev/null 2>&1";
    ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  for (int i = 0; i < 500; ++i) {
    if (Sql("SELECT COUNT(*) FROM information_schema.INNODB_TRX;\n") != "0\n") break;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto start = std::chrono::steady_clock::now();
  Restore(backupDir_, true, &r, " --lock-wait-timeout 2");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::kill(-holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "--lock-wait-timeout")) << r.err;
  EXPECT_TRUE(Contains(r.err, "in a transaction")) << r.err;
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  EXPECT_LT(seconds, 60.0) << r.err;
  EXPECT_EQ(Checksums(), before);
  EXPECT_EQ(Sql(ObjectsQuery(kDb)), objects);
  EXPECT_EQ(Leftovers(), "0\n");
}

TEST_F(RestoreDatabaseTest, RejectsBadOptionsBeforeAnything) {
  struct Case {
    const char* args;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {" --lock-wait-timeout 0", 2, "--lock-wait-timeout needs"},
      {" --lock-wait-timeout 5s", 2, "--lock-wait-timeout needs"},
      {" --table", 2, "--table needs a value"},
      {" --table=", 2, "--table needs a"},
      {" --as ''", 2, "--as needs a database name"},
      {" --as 'xbagent#mine'", 1, "reserved"},
      {" --as mysql", 1, "system database"},
      {" --table no_such_table --as xbrd_none", 1, "the backup has no table `no_such_table`"},
  };
  for (const Case& c : cases) {
    Result r;
    Restore(backupDir_, false, &r, c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, c.says)) << c.args << "\n" << r.err;
  }
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = "
                "'xbrd_none';\n"),
            "0\n");
}

TEST_F(RestoreDatabaseTest, TriggersDroppedByARunThatDiedBeforeItsSwapComeBack) {
  // What a run killed between dropping the target's triggers and its rename
  // leaves: a holding database with only the trigger journal.
  const std::string db = Ident(kDb);
  Sql("SET foreign_key_checks = 0;\nDROP TRIGGER IF EXISTS " + db + ".tr;\n"
      "CREATE TRIGGER " + db + ".tr BEFORE INSERT ON " + db + ".parent FOR EACH ROW SET NEW.name = "
      "UPPER(NEW.name);\n");
  const std::string holding = "`xbagent#old#4000000#1`";
  Sql("CREATE DATABASE " + holding + ";\n"
      "CREATE TABLE " + holding + ".`xbagent#triggers` (db VARCHAR(64), name VARCHAR(64),\n"
      "  sql_mode TEXT, statement LONGTEXT, charset VARCHAR(64), collation VARCHAR(64));\n"
      "INSERT INTO " + holding + ".`xbagent#triggers` SELECT '" + std::string(kDb) + "', TRIGGER_NAME,\n"
      "  SQL_MODE, CONCAT('CREATE TRIGGER tr ', ACTION_TIMING, ' ', EVENT_MANIPULATION,\n"
      "  ' ON parent FOR EACH ROW ', ACTION_STATEMENT), CHARACTER_SET_CLIENT,\n"
      "  COLLATION_CONNECTION FROM information_schema.TRIGGERS WHERE TRIGGER_NAME = 'tr';\n"
      "DROP TRIGGER " + db + ".tr;\n");
  ASSERT_FALSE(Contains(Sql(ObjectsQuery(kDb)), "trigger tr"));

  Result r;
  Restore(backupDir_, false, &r);  // refused later: the database exists
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "recreating trigger `" + std::string(kDb) + "`.`tr`")) << r.err;
  EXPECT_TRUE(Contains(Sql(ObjectsQuery(kDb)), "trigger tr"));
  Sql("INSERT INTO " + db + ".parent VALUES (1001, 'lower');\n");
  EXPECT_EQ(Sql("SELECT name FROM " + db + ".parent WHERE id = 1001;\n"), "LOWER\n");
  Sql("DELETE FROM " + db + ".parent WHERE id = 1001;\n");
  EXPECT_EQ(Leftovers(), "0\n");
}

TEST_F(RestoreDatabaseTest, DataDirectoryTablesAreRefusedAndOthersRestoreWithoutTouchingTheirLiveFiles) {
  TempDir remote("xbrd-remote");
  RunShell("chown mysql:mysql " + Q(remote.path()) + " 2>/dev/null; chmod 755 " + Q(remote.path()));
  const std::string db = "xbrd_remote";
  Sql("DROP DATABASE IF EXISTS " + Ident(db) + ";\nCREATE DATABASE " + Ident(db) + ";\nUSE " +
      Ident(db) + ";\n"
      "CREATE TABLE far (id INT PRIMARY KEY, v INT, KEY (v)) ENGINE=InnoDB DATA DIRECTORY = '" +
      remote.path() + "';\n");
  const std::string live = remote.path() + "/" + db + "/far.ibd";
  // The empty table's file, older than every page the backup's log changes.
  TempDir aside("xbrd-aside");
  Sql("FLUSH TABLES " + Ident(db) + ".far FOR EXPORT;\nUNLOCK TABLES;\n");
  ASSERT_EQ(RunShell("cp " + Q(live) + " " + Q(aside.path()) + " && echo ok"), "ok\n");
  Sql("USE " + Ident(db) + ";\n"
      "INSERT INTO far SELECT seq, seq FROM seq_1_to_1000;\n"
      "CREATE TABLE near (id INT PRIMARY KEY) ENGINE=InnoDB;\n"
      "INSERT INTO near SELECT seq FROM seq_1_to_100;\n");
  const std::string backup = *shared_ / "remote";
  Result r = Xb("backup" + Common() + " --database " + Q(db) + " --output-dir " + Q(backup));
  ASSERT_EQ(r.status, 0) << r.err;
  // Every page of the table on disk, so the server itself has no reason to
  // write the file.
  Sql("FLUSH TABLES " + Ident(db) + ".far FOR EXPORT;\nUNLOCK TABLES;\n");
  const std::string before = RunShell("stat -c %Y.%s " + Q(live) + " && sha256sum < " + Q(live));
  ASSERT_TRUE(Contains(before, "-")) << before;

  r = Xb("restore --database " + Q(db) + " --from " + Q(backup) + Common() + " --replace");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "table `far`")) << r.err;
  EXPECT_TRUE(Contains(r.err, "DATA DIRECTORY")) << r.err;
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  // Another table restores: the backup's log names the remote file by its
  // live path, and the prepare must reach only the staging copy there.
  r = Xb("restore --database " + Q(db) + " --from " + Q(backup) + Common() + " --table near" +
         " --as " + Q(db + "_2"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(TableChecksum(db + "_2", "near"), TableChecksum(db, "near"));
  EXPECT_EQ(RunShell("stat -c %Y.%s " + Q(live) + " && sha256sum < " + Q(live)), before);
  EXPECT_EQ(RunShell("ls " + Q(remote.path() + "/" + db)), "far.ibd\n");
  EXPECT_EQ(Leftovers(), "0\n");

  // The table dropped since the backup and an older file at its path: a
  // prepare that reached the path would apply the backup's log to it.
  Sql("DROP TABLE " + Ident(db) + ".far;\n");
  ASSERT_EQ(RunShell("cp -p " + Q(aside.path() + "/far.ibd") + " " + Q(live) + " && echo ok"),
            "ok\n");
  const std::string old = RunShell("stat -c %Y.%s " + Q(live) + " && sha256sum < " + Q(live));
  r = Xb("restore --database " + Q(db) + " --from " + Q(backup) + Common() + " --table near" +
         " --as " + Q(db + "_3"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(RunShell("stat -c %Y.%s " + Q(live) + " && sha256sum < " + Q(live)), old);
  EXPECT_EQ(RunShell("ls " + Q(remote.path() + "/" + db)), "far.ibd\n");
  Sql("DROP DATABASE " + Ident(db) + ";\nDROP DATABASE " + Ident(db + "_2") +
      ";\nDROP DATABASE " + Ident(db + "_3") + ";\n");
}


TEST_F(RestoreDatabaseTest, AServerCrashRightAfterTheSwapKeepsTheRestoredRows) {
  // The restore stopped (SIGSTOP) as soon as its rename brought the restored
  // rows in, and the server killed then: crash recovery must not undo
  // imports the swap renamed.
  const std::string db = "xbrd_swapcrash";
  Sql("DROP DATABASE IF EXISTS " + Ident(db) + ";\nCREATE DATABASE " + Ident(db) + ";\nUSE " +
      Ident(db) + ";\nCREATE TABLE far (id INT PRIMARY KEY, v INT) ENGINE=InnoDB;\n"
      "CREATE TABLE near (id INT PRIMARY KEY, v INT) ENGINE=InnoDB;\n"
      "INSERT INTO far SELECT seq, seq FROM seq_1_to_2000;\nINSERT INTO near SELECT seq, seq FROM seq_1_to_2000;\n");
  const std::string backup = *shared_ / "swapcrash";
  Result r = Xb("backup" + Common() + " --database " + Q(db) + " --output-dir " + Q(backup));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string far = TableChecksum(db, "far");
  const std::string near = TableChecksum(db, "near");
  Sql("USE " + Ident(db) + ";\nDELETE FROM far WHERE id > 10;\nDELETE FROM near WHERE id > 20;\n");
  const std::string old = TableChecksum(db, "far") + TableChecksum(db, "near");
  TempDir tmp("xbrd-tmp");
  Background run = Start("restore --database " + Q(db) + " --from " + Q(backup) + Common() +
                         " --replace", tmp.path(), tmp.path());
  bool swapped = false;
  for (int i = 0; i < 3000 && !swapped; ++i) {
    swapped = Sql("SELECT COUNT(*) FROM " + Ident(db) + ".far;\n") == "2000\n";
    int status = 0;
    if (!swapped && ::waitpid(run.pid, &status, WNOHANG) == run.pid) break;
    if (!swapped) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(run.pid, SIGSTOP);
  ASSERT_TRUE(swapped) << ReadFile(run.err);
  ASSERT_TRUE(CrashAndRestart(sandbox_));
  ::kill(run.pid, SIGKILL);
  double seconds = 0;
  WaitFor(run.pid, 30, &seconds);
  for (const char* table : {"far", "near"}) {
    std::string check = Sql("CHECK TABLE " + Ident(db) + "." + table + " EXTENDED;\n");
    EXPECT_TRUE(Contains(check, "\tOK")) << check;
  }
  // The rename is atomic: all restored, or (recovery rolled it back) all old.
  const std::string now = TableChecksum(db, "far") + TableChecksum(db, "near");
  EXPECT_TRUE(now == far + near || now == old) << now;
  // The next run removes what the killed one left.
  r = Xb("restore --database " + Q(db) + " --from " + Q(backup) + Common() + " --replace");
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Leftovers(), "0\n");
  EXPECT_EQ(TableChecksum(db, "far") + TableChecksum(db, "near"), far + near);
  Sql("DROP DATABASE IF EXISTS " + Ident(db) + ";\n");
}

TEST_F(RestoreDatabaseTest, AriaTablesSurviveACrashAfterTheRestore) {
  // Transactional Aria (the default), changed after each backup so the
  // server's Aria log holds records for the live table's pages.
  const std::string db = "xbrd_aria";
  Sql("DROP DATABASE IF EXISTS " + Ident(db) + ";\nCREATE DATABASE " + Ident(db) + ";\nUSE " +
      Ident(db) + ";\n"
      "CREATE TABLE a (id INT PRIMARY KEY, v INT, w VARCHAR(40), KEY (v), KEY (w)) ENGINE=Aria;\n"
      "INSERT INTO a SELECT seq, seq * 3, CONCAT('w', seq) FROM seq_1_to_3000;\n");
  for (int cycle = 0; cycle < 2; ++cycle) {
    SCOPED_TRACE("cycle " + std::to_string(cycle));
    const std::string backup = *shared_ / ("aria" + std::to_string(cycle));
    Result r = Xb("backup" + Common() + " --database " + Q(db) + " --output-dir " + Q(backup));
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string expected = TableChecksum(db, "a");
    Sql("USE " + Ident(db) + ";\nDELETE FROM a WHERE id % 3 = 0;\n"
        "INSERT INTO a SELECT seq, seq, 'late' FROM seq_5001_to_6000;\n"
        "UPDATE a SET v = v + 1 WHERE id < 500;\n");
    r = Xb("restore --database " + Q(db) + " --from " + Q(backup) + Common() + " --replace");
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(TableChecksum(db, "a"), expected);
    ASSERT_TRUE(CrashAndRestart(sandbox_));
    std::string check = Sql("CHECK TABLE " + Ident(db) + ".a EXTENDED;\n");
    EXPECT_TRUE(Contains(check, "status\tOK")) << check;
    EXPECT_EQ(TableChecksum(db, "a"), expected);
  }
  Sql("DROP DATABASE " + Ident(db) + ";\n");
}

// A restore SIGKILLed while it waits for its InnoDB checkpoint, with the
// server's flushing hurried: the next run puts the settings back, unless
// they were changed since.
TEST_F(RestoreDatabaseTest, FlushingHurriedByARestoreKilledInItsCheckpointWaitIsPutBack) {
  const std::string settings =
      "SELECT @@GLOBAL.innodb_max_dirty_pages_pct, @@GLOBAL.innodb_max_dirty_pages_pct_lwm, "
      "@@GLOBAL.innodb_io_capacity;\n";
  const std::string hurried = "SELECT @@GLOBAL.innodb_max_dirty_pages_pct = 0;\n";
  // The setup checked that the server runs on the defaults: however the test
  // ends, it goes back to them for the tests after it (each of which checks).
  const std::string before = Sql(settings);
  const auto putBack = [this] {
    Sql("SET GLOBAL innodb_max_dirty_pages_pct = DEFAULT, "
        "innodb_max_dirty_pages_pct_lwm = DEFAULT, innodb_io_capacity = DEFAULT;\n");
  };
  struct AtExit {
    std::function<void()> run;
    ~AtExit() { run(); }
  } atExit{putBack};
  TempDir tmp("xbrd-tmp");
  // The wait hurries flushing only with many dirty pages (fewer are flushed
  // at once): ~4000 of them, by an update that writes little redo.
  // Kept out of the binary log, which other tests read.
  Sql("SET sql_log_bin = 0;\n"
      "CREATE DATABASE xbrd_dirty;\n"
      "CREATE TABLE xbrd_dirty.d (id INT PRIMARY KEY, n INT, pad VARCHAR(1000)) ENGINE=InnoDB;\n"
      "USE xbrd_dirty;\n"
      "INSERT INTO d SELECT seq, 0, REPEAT('d', 1000) FROM seq_1_to_56000;\n");
  AtExit dropDirty{[this] { Sql("SET sql_log_bin = 0;\nDROP DATABASE IF EXISTS xbrd_dirty;\n"); }};
  // Stopped once the setting reads 0, checked again once stopped (it may
  // just have gone back), then killed.
  auto killInTheWait = [&] {
    Sql("SET sql_log_bin = 0;\nUPDATE xbrd_dirty.d SET n = n + 1;\n");
    Background run = Start("restore --database " + Q(kDb) + " --from " + Q(backupDir_) +
                               Common() + " --replace", tmp.path(), tmp.path());
    bool caught = false;
    for (int i = 0; i < 3000 && !caught; ++i) {
      int status = 0;
      if (::waitpid(run.pid, &status, WNOHANG) == run.pid) return std::string("ended");
      if (Sql(hurried) != "1\n") continue;
      ::kill(run.pid, SIGSTOP);
      caught = Sql(hurried) == "1\n";
      if (!caught) ::kill(run.pid, SIGCONT);
    }
    ::kill(run.pid, SIGKILL);
    double seconds = 0;
    WaitFor(run.pid, 30, &seconds);
    return caught ? std::string() : "not caught: " + ReadFile(run.err);
  };

  ASSERT_EQ(killInTheWait(), "");
  ASSERT_NE(Sql(settings), before);
  EXPECT_NE(Leftovers(), "0\n");
  // Changed by someone since (lazier than the default, so nothing is
  // hurried meanwhile): left as it is, by the next backup too.
  Sql("SET GLOBAL innodb_max_dirty_pages_pct = 95;\n");
  const std::string changed = Sql(settings);
  Result r = Xb("backup" + Common() + " --database " + Q(kDb) + " --output-dir " +
                Q(tmp.path() + "/backup"));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "so they are left as they are")) << r.err;
  EXPECT_EQ(Sql(settings), changed);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
                "'xbagent#settings#%';\n"), "0\n");
  putBack();
  ASSERT_EQ(Sql(settings), before);

  ASSERT_EQ(killInTheWait(), "");
  ASSERT_NE(Sql(settings), before);
  Restore(backupDir_, true, &r);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Contains(r.err, "setting InnoDB flushing back to")) << r.err;
  EXPECT_EQ(Sql(settings), before);
  EXPECT_EQ(Leftovers(), "0\n");
}

// A prepare that prints nothing for a long time (a large redo log) and
// ignores SIGTERM: SIGINT still ends it, and the restore, within 2 s,
// changing nothing, and the tool has ended before xbagent exits.
TEST_F(RestoreDatabaseTest, SigintDuringASilentPrepareStopsItPromptly) {
  TempDir tools("xbrd-tools");
  const std::string pidFile = tools.path() + "/prepare.pid";
  WriteFile(tools.path() + "/xtrabackup",
            "#!/bin/sh\n"
            "for a in \"$@\"; do\n"
            // As the real tool's prepare: SIGTERM ignored, under a shell.
            "  if [ \"$a\" = --prepare ]; then trap '' TERM; echo $$ > " + Q(pidFile) +
            "; sleep 30; exit 0; fi\n"
            "done\n"
            "exec " + Q(sandbox_.toolDir + "/xtrabackup") + " \"$@\"\n");
  ASSERT_EQ(::chmod((tools.path() + "/xtrabackup").c_str(), 0755), 0);
  ASSERT_EQ(::symlink((sandbox_.toolDir + "/xbstream").c_str(),
                      (tools.path() + "/xbstream").c_str()), 0);
  Damage();
  const std::string before = Checksums();
  TempDir tmp("xbrd-tmp");
  Background run = Start("restore --database " + Q(kDb) + " --from " + Q(backupDir_) +
                             " --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " +
                             Q(tools.path()) + " --replace",
                         tmp.path(), tmp.path());
  pid_t prepare = 0;
  for (int i = 0; i < 3000 && prepare <= 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    prepare = static_cast<pid_t>(std::atol(ReadFile(pidFile).c_str()));
  }
  ASSERT_GT(prepare, 0) << ReadFile(run.err);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // well inside the sleep
  ::kill(run.pid, SIGINT);
  double seconds = 0;
  EXPECT_EQ(WaitFor(run.pid, 40, &seconds), 130) << ReadFile(run.err);
  EXPECT_LT(seconds, 2.0) << ReadFile(run.err);
  const std::string said = ReadFile(run.err);
  EXPECT_TRUE(Contains(said, "interrupted")) << said;
  EXPECT_TRUE(Contains(said, "nothing was changed")) << said;
  EXPECT_EQ(Checksums(), before);
  EXPECT_EQ(Leftovers(), "0\n");
  EXPECT_EQ(RunShell("ls -A " + Q(tmp.path()) + " | grep xbagent || true"), "");
  // Ended before xbagent exited (gone, or a zombie of whoever inherited it).
  const std::string stat = ReadFile("/proc/" + std::to_string(prepare) + "/stat");
  EXPECT_TRUE(stat.empty() || Contains(stat, ") Z ")) << "the prepare still runs: " << stat;
  ::kill(prepare, SIGKILL);
}

TEST_F(RestoreDatabaseTest, SigintStopsPromptlyAndARerunAfterSigkillCleansUp) {
  // A table with a FULLTEXT index: its restore (IMPORT, then a rebuild)
  // takes seconds.
  std::string big = Ident(kBig);
  Sql("DROP DATABASE IF EXISTS " + big + ";\nCREATE DATABASE " + big + ";\nUSE " + big + ";\n"
      "CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(200), FULLTEXT KEY ft (v)) ENGINE=InnoDB;\n"
      "INSERT INTO t SELECT seq, CONCAT('w', seq % 5000, ' k', seq % 777, ' z', seq)\n"
      "  FROM seq_1_to_300000;\n");
  // The FULLTEXT index keeps writing redo for a while after the insert, more
  // than the throwaway server's small redo log holds during a backup: wait
  // until the server is idle (its log sequence number stands still).
  const std::string lsn =
      "SELECT VARIABLE_VALUE FROM information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = "
      "'INNODB_LSN_CURRENT';\n";
  for (int i = 0; i < 60; ++i) {
    std::string before = Sql(lsn);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (Sql(lsn) == before) break;
  }
  const std::string backup = *shared_ / "big";
  Result r = Xb("backup" + Common() + " --database " + Q(kBig) + " --output-dir " + Q(backup));
  ASSERT_EQ(r.status, 0) << r.err;
  Sql("UPDATE " + big + ".t SET v = 'changed' WHERE id < 100;\n");
  const std::string live = TableChecksum(kBig, "t");
  TempDir tmp("xbrd-tmp");
  const std::string args = "restore --database " + Q(kBig) + " --from " + Q(backup) + Common() +
                           " --replace";
  // Waits until the restore runs a statement on the shadow's table.
  auto waitForImport = [&](pid_t pid) {
    for (int i = 0; i < 3000; ++i) {
      std::string busy = Sql("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE ID <> "
                             "CONNECTION_ID() AND INFO LIKE '%xbagent#shadow#%' AND (INFO LIKE "
                             "'%IMPORT TABLESPACE' OR INFO LIKE '%FORCE' OR INFO LIKE '%FULLTEXT%');\n");
      if (busy != "0\n") return true;
      int status = 0;
      if (::waitpid(pid, &status, WNOHANG) == pid) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  };

  Background run = Start(args, tmp.path(), tmp.path());
  ASSERT_TRUE(waitForImport(run.pid)) << ReadFile(run.err);
  ::kill(run.pid, SIGINT);
  double seconds = 0;
  EXPECT_EQ(WaitFor(run.pid, 30, &seconds), 130) << ReadFile(run.err);
  EXPECT_LT(seconds, 2.0) << ReadFile(run.err);
  EXPECT_TRUE(Contains(ReadFile(run.err), "interrupted")) << ReadFile(run.err);
  EXPECT_TRUE(Contains(ReadFile(run.err), "nothing was changed")) << ReadFile(run.err);
  EXPECT_EQ(TableChecksum(kBig, "t"), live);
  EXPECT_EQ(Leftovers(), "0\n");

  run = Start(args, tmp.path(), tmp.path());
  ASSERT_TRUE(waitForImport(run.pid)) << ReadFile(run.err);
  ::kill(run.pid, SIGKILL);
  EXPECT_EQ(WaitFor(run.pid, 30, &seconds), 128 + SIGKILL);
  EXPECT_NE(Leftovers(), "0\n");
  EXPECT_EQ(TableChecksum(kBig, "t"), live);
  // In the dead run's shadow, a tablespace file the server no longer knows
  // (a server crash between dropping a table and removing its file).
  EXPECT_EQ(RunShell("cd " + Q(sandbox_.datadir) + " && d=$(ls -d xbagent@0023shadow@* | head -n 1)"
                     " && head -c 65536 /dev/zero > \"$d/orphan.ibd\" && echo ok"),
            "ok\n");

  run = Start(args, tmp.path(), tmp.path());
  EXPECT_EQ(WaitFor(run.pid, 120, &seconds), 0) << ReadFile(run.err);
  std::string said = ReadFile(run.err);
  EXPECT_TRUE(Contains(said, "removing database 'xbagent#shadow#")) << said;
  EXPECT_TRUE(Contains(said, "removing staging directory")) << said;
  EXPECT_EQ(Leftovers(), "0\n");
  EXPECT_EQ(RunShell("ls -A " + Q(tmp.path()) + " | grep xbagent || true"), "");
  EXPECT_NE(TableChecksum(kBig, "t"), live);
  Sql("DROP DATABASE " + big + ";\n");
}

}  // namespace
