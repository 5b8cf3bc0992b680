// xbagent restore --database against the throwaway server: one database with
// every kind of table is backed up, changed, and restored into the running
// server; an existing database is never touched without --replace; a
// failure in the middle names the table and the server's reason, and a rerun
// with --replace completes the restore.

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Sandbox;
using xbtest::TempDir;
using xbtest::WriteFile;

// Unique to this file; the server stores it encoded on disk.
const char kDb[] = "xbrd_my-db";
const char kOddTable[] = "t \xc3\xa9-1";  // "t é-1"

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

std::string Ident(const std::string& name) { return "`" + name + "`"; }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

using Result = xbtest::RunResult;

// Every table kind the restore handles, with rows.
std::string SampleSql() {
  std::string db = Ident(kDb);
  std::string odd = Ident(kOddTable);
  return "DROP DATABASE IF EXISTS " + db + ";\n"
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
         "CREATE TRIGGER tr BEFORE INSERT ON parent FOR EACH ROW SET NEW.name = UPPER(NEW.name);\n";
}

const char* const kTables[] = {kOddTable, "parent", "child", "comp", "inst", "rng",
                               "hsh",     "sub",    "docs",  "my",   "ar"};

class RestoreDatabaseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_.reset(new TempDir("xbrd-suite")); }
  static void TearDownTestSuite() {
    Sandbox sandbox = xbtest::GetSandbox();
    if (sandbox.available()) sandbox.Sql("DROP DATABASE IF EXISTS " + Ident(kDb) + ";\n");
    shared_.reset();
  }

  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    bin_ = xbtest::BinDir() + "/xbagent";
    if (::access(bin_.c_str(), X_OK) != 0) GTEST_SKIP() << "xbagent not built at " << bin_;
    if (::geteuid() != 0) GTEST_SKIP() << "restoring into the server's datadir needs root";
    ASSERT_FALSE(Backup().empty());
  }

  Result Xb(const std::string& args) { return xbtest::RunProgram("xbagent", args); }

  std::string Sql(const std::string& sql) {
    int status = 0;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  // CHECKSUM TABLE of every table with data, as the client prints it.
  std::string Checksums() {
    std::string list;
    for (const char* table : kTables) {
      if (!list.empty()) list += ", ";
      list += Ident(kDb) + "." + Ident(table);
    }
    return Sql("CHECKSUM TABLE " + list + ";\n");
  }

  std::string Restore(const std::string& from, bool replace, Result* result) {
    *result = Xb("restore --database " + Q(kDb) + " --from " + Q(from) + " --defaults-file " +
                 Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) +
                 (replace ? " --replace" : ""));
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

  Result r;
  Restore(backupDir_, true, &r);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Checksums(), expected_);
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

TEST_F(RestoreDatabaseTest, FailedImportChangesNothingAndARerunCompletes) {
  // A copy of the backup whose schema gives `inst`.`b` another length than
  // its tablespace has: the server refuses that one IMPORT. The manifest is
  // updated to the edited schema so the copy passes verification.
  std::string copy = *shared_ / "edited";
  RunShell("rm -rf " + Q(copy) + " && cp -a " + Q(backupDir_) + " " + Q(copy));
  std::string schema = ReadFile(copy + "/schema.sql");
  const std::string from = "`b` varchar(20)";
  size_t at = schema.find(from);
  ASSERT_NE(at, std::string::npos) << schema;
  schema.replace(at, from.size(), "`b` varchar(90)");  // the same length
  std::string oldSha = RunShell("sha256sum " + Q(copy + "/schema.sql") + " | cut -c1-64");
  WriteFile(copy + "/schema.sql", schema);
  std::string newSha = RunShell("sha256sum " + Q(copy + "/schema.sql") + " | cut -c1-64");
  std::string manifest = ReadFile(copy + "/manifest.json");
  at = manifest.find(oldSha.substr(0, 64));
  ASSERT_NE(at, std::string::npos);
  manifest.replace(at, 64, newSha.substr(0, 64));
  WriteFile(copy + "/manifest.json", manifest);

  Damage();
  const std::string before = Checksums();
  Result r;
  Restore(copy, true, &r);
  EXPECT_EQ(r.status, 1);
  // The table, the statement and the server's own reason; the live
  // database is as it was.
  EXPECT_TRUE(Contains(r.err, "table `inst`")) << r.err;
  EXPECT_TRUE(Contains(r.err, "IMPORT TABLESPACE")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Schema mismatch")) << r.err;
  EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
  EXPECT_EQ(Checksums(), before);

  Restore(backupDir_, true, &r);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Checksums(), expected_);
}

}  // namespace
