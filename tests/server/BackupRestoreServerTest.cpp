// The utility against the real backup tool and a throwaway MariaDB server:
// streaming backups of one database and of the whole server, extraction,
// binary-log coordinates, prepare, the in-place restore of one database
// through transportable tablespaces, and the schema dump.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "harness/Harness.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;
using xbtest::PathExists;
using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::ScopedLogWriter;
using xbtest::ScopedSettings;
using xbtest::TempDir;
using XtraBackup::mysqlDetails;
using XtraBackup::MySQLMetaData;
using XtraBackup::XtraBackupUtil;
using XtraBackup::XtraMetaData;
namespace sig = xbtest::sig;

std::string Sq(const std::string& value) { return xbtest::ShellQuote(value); }

std::string Ident(const std::string& name) { return "`" + name + "`"; }

struct BinlogCoordinates {
  long number = -1;
  long position = -1;
};

::std::ostream& operator<<(::std::ostream& out, const BinlogCoordinates& c) {
  return out << c.number << ":" << c.position;
}

bool operator==(const BinlogCoordinates& a, const BinlogCoordinates& b) {
  return a.number == b.number && a.position == b.position;
}

MySQLMetaData Table(const std::string& name, const std::string& engine) {
  MySQLMetaData table;
  table.sTableName = name;
  table.sEngine = engine;
  return table;
}

struct stat StatOf(const std::string& path) {
  struct stat info {};
  ::lstat(path.c_str(), &info);
  return info;
}

// One InnoDB table with a secondary index per name kind: hyphen, blank and
// non-ASCII letters; a primary-key-only table; a MyISAM table.
const char* const kTableDash = "t-1 \xc3\xa9";       // "t-1 é"
const char* const kTableOrders = "orders \xd0\xb6";  // "orders ж"
const char* const kTablePlain = "plain";
const char* const kTableMyIsam = "notes";
const char* const kInnoDBTables[] = {kTableDash, kTableOrders, kTablePlain};

class BackupRestoreServer : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    suffix_ = std::to_string(::getpid());
    log_->SetLevel(2);  // leave out the per-read messages of the runner
  }

  void TearDown() override {
    for (const std::string& name : databases_) {
      int status = 0;
      sandbox_.Sql("DROP DATABASE IF EXISTS " + Ident(name) + ";", &status);
    }
  }

  std::string Sql(const std::string& sql) {
    int status = -1;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  mysqlDetails Details() const {
    mysqlDetails details;
    details.sDefaultsFile = sandbox_.cnf;
    details.sUser = "root";
    details.sDataDir = sandbox_.datadir;
    details.sConnectInfo = sandbox_.dir + "/mysql.sock";
    return details;
  }

  std::string Encoded(const std::string& name) {
    XtraBackupUtil util;
    std::string encoded;
    util.convertSpecialCharsToHexChars(name, encoded);
    return encoded;
  }

  // A database with the test tables and some rows, written through the
  // binary log.
  std::string CreateShop(const std::string& base) {
    const std::string name = base + " " + suffix_;
    databases_.push_back(name);
    std::ostringstream sql;
    sql << "CREATE DATABASE " << Ident(name) << ";\n"
        << "USE " << Ident(name) << ";\n"
        << "CREATE TABLE " << Ident(kTableDash)
        << " (id INT PRIMARY KEY, k INT NOT NULL, v VARCHAR(64), KEY k_idx (k)) ENGINE=InnoDB;\n"
        << "CREATE TABLE " << Ident(kTableOrders)
        << " (id INT AUTO_INCREMENT PRIMARY KEY, customer INT NOT NULL, amount DECIMAL(10,2),"
           " note VARCHAR(100), KEY by_customer (customer, amount)) ENGINE=InnoDB;\n"
        << "CREATE TABLE " << Ident(kTablePlain)
        << " (id INT PRIMARY KEY, payload VARCHAR(200)) ENGINE=InnoDB;\n"
        << "CREATE TABLE " << Ident(kTableMyIsam)
        << " (id INT PRIMARY KEY, txt TEXT) ENGINE=MyISAM;\n"
        << "INSERT INTO " << Ident(kTableDash)
        << " SELECT seq, seq % 97, CONCAT('v', seq) FROM seq_1_to_2000;\n"
        << "INSERT INTO " << Ident(kTableOrders)
        << " (customer, amount, note) SELECT seq % 50, seq * 1.25, REPEAT('n', seq % 40)"
           " FROM seq_1_to_3000;\n"
        << "INSERT INTO " << Ident(kTablePlain) << " SELECT seq, MD5(seq) FROM seq_1_to_500;\n"
        << "INSERT INTO " << Ident(kTableMyIsam) << " VALUES (1, 'a'), (2, 'b');\n"
        << "UPDATE " << Ident(kTableOrders) << " SET amount = amount + 1 WHERE customer = 7;\n"
        << "DELETE FROM " << Ident(kTablePlain) << " WHERE id % 10 = 0;\n";
    Sql(sql.str());
    return name;
  }

  BinlogCoordinates MasterStatus() {
    std::string out = Sql("SHOW MASTER STATUS;");
    BinlogCoordinates c;
    size_t tab = out.find('\t');
    size_t dot = out.find('.');
    if (tab == std::string::npos || dot == std::string::npos || dot > tab) {
      ADD_FAILURE() << "SHOW MASTER STATUS gave: " << out;
      return c;
    }
    c.number = std::stol(out.substr(dot + 1, tab - dot - 1));
    c.position = std::stol(out.substr(tab + 1));
    return c;
  }

  // MariaDB writes a binary-log checkpoint event in the background once the
  // transactions of the previous log file are durable (up to a second or so
  // after a log rotation). Coordinates are compared once the current file
  // holds the checkpoint naming itself: no event is pending then.
  BinlogCoordinates SettledMasterStatus() {
    for (int i = 0; i < 100; ++i) {
      std::string status = Sql("SHOW MASTER STATUS;");
      std::string file = status.substr(0, status.find('\t'));
      std::istringstream events(Sql("SHOW BINLOG EVENTS IN '" + file + "';"));
      std::string line;
      while (std::getline(events, line)) {
        if (line.find("\tBinlog_checkpoint\t") != std::string::npos && line.size() > file.size() &&
            line.compare(line.size() - file.size() - 1, std::string::npos, "\t" + file) == 0) {
          return MasterStatus();
        }
      }
      ::usleep(100 * 1000);
    }
    ADD_FAILURE() << "no binary-log checkpoint for the current file";
    return MasterStatus();
  }

  std::map<std::string, std::string> Checksums(const std::string& database) {
    std::map<std::string, std::string> sums;
    for (const char* table : kInnoDBTables) {
      std::string out = Sql("CHECKSUM TABLE " + Ident(database) + "." + Ident(table) + ";");
      size_t tab = out.rfind('\t');
      sums[table] = tab == std::string::npos ? out : out.substr(tab + 1);
    }
    return sums;
  }

  // Runs the streaming backup on a host child object and writes the stream
  // to `streamFile`. Returns the tool's exit status.
  int Backup(bool fullServer, const std::string& database, const std::string& lsnDir,
             const std::string& streamFile) {
    MySqlChildProcess host;
    XtraBackupUtil util(false, Details(), &host, sandbox_.toolDir);
    util.bFullServerXtrabackup = fullServer;
    CKaError result = util.startStream(fullServer ? "" : Encoded(database), 2, lsnDir);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    if (result.IsError()) return -1;

    std::ofstream out(streamFile, std::ios::binary);
    xbtest::ReadChildOutput(host, [&out](const char* data, size_t length) {
      out.write(data, static_cast<std::streamsize>(length));
    });
    out.close();
    int status = host.Wait(0);
    if (status != 0) {
      std::vector<char> err(65536);
      long length = static_cast<long>(err.size());
      host.ReadErrBuf(err.data(), &length);
      ADD_FAILURE() << "backup tool: " << std::string(err.data(), length > 0 ? length : 0);
    }
    return status;
  }

  // Feeds the stream file to the extractor started by the library.
  int Extract(const std::string& streamFile, const std::string& target) {
    MySqlChildProcess host;
    XtraBackupUtil util(false, Details(), &host, sandbox_.toolDir);
    CKaError result = util.extractXtraBackup(target);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    if (result.IsError()) return -1;
    std::ifstream in(streamFile, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    while (in) {
      in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
      std::streamsize got = in.gcount();
      if (got > 0 && host.WriteBuf(buffer.data(), static_cast<long>(got)) != 0) {
        ADD_FAILURE() << "WriteBuf failed, errno " << host.GetLastErrNo();
        break;
      }
    }
    EXPECT_EQ(host.CloseInput(), 0);
    int status = host.Wait(0);
    if (status != 0) {
      std::vector<char> err(65536);
      long length = static_cast<long>(err.size());
      host.ReadErrBuf(err.data(), &length);
      ADD_FAILURE() << "extractor: " << std::string(err.data(), length > 0 ? length : 0);
    }
    return status;
  }

  BinlogCoordinates FromBackup(const std::string& staging) {
    BinlogCoordinates c;
    XtraBackupUtil util;
    CKaError result = util.populateLogData(&c.number, &c.position, staging);
    EXPECT_FALSE(result.IsError()) << result.AsString();
    return c;
  }

  xbtest::Sandbox sandbox_;
  std::string suffix_;
  std::vector<std::string> databases_;
  ScopedLogWriter log_;
  ScopedSettings settings_;
};

TEST_F(BackupRestoreServer, OneDatabaseStreamsExtractsAndGivesItsCoordinates) {
  const std::string database = CreateShop("my-db \xc3\xa9\xd0\xb6");  // "my-db éж N"
  const std::string other = CreateShop("xb other");
  Sql("FLUSH BINARY LOGS; USE " + Ident(database) + "; INSERT INTO " + Ident(kTablePlain) +
      " VALUES (100000, 'after flush');");
  const std::string encoded = Encoded(database);
  ASSERT_EQ(
      encoded.find_first_not_of("0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ_@"),
      std::string::npos);
  ASSERT_TRUE(PathExists(sandbox_.datadir + "/" + encoded)) << encoded;

  TempDir work("xbserver");
  const std::string lsnDir = work / "lsn";
  const BinlogCoordinates before = SettledMasterStatus();
  ASSERT_EQ(Backup(false, database, lsnDir, work / "db.xbstream"), 0);
  const BinlogCoordinates after = MasterStatus();
  EXPECT_EQ(before, after);

  const std::string staging = work / "staging";
  ::mkdir(staging.c_str(), 0700);
  ASSERT_EQ(Extract(work / "db.xbstream", staging), 0);
  EXPECT_TRUE(PathExists(staging + "/xtrabackup_checkpoints"));
  EXPECT_TRUE(PathExists(staging + "/xtrabackup_binlog_info"));
  EXPECT_TRUE(PathExists(staging + "/" + encoded));
  EXPECT_TRUE(PathExists(staging + "/" + encoded + "/" + Encoded(kTableDash) + ".frm"));
  EXPECT_FALSE(PathExists(staging + "/" + Encoded(other)));
  EXPECT_TRUE(PathExists(lsnDir + "/xtrabackup_checkpoints"));
  EXPECT_TRUE(PathExists(lsnDir + "/xtrabackup_info"));

  EXPECT_EQ(FromBackup(staging), after);
  EXPECT_GE(after.number, 2);
  EXPECT_EQ(log_->FindContaining("--databases \"" + encoded + "\" --stream=xbstream").size(), 1u);
}

// Before any transaction has a GTID the tool writes an empty third field:
// "mysql-bin.000001<TAB>328<TAB><LF>".
TEST_F(BackupRestoreServer, CoordinatesOfABackupTakenBeforeAnyGtid) {
  Sql("RESET MASTER;");
  TempDir work("xbserver");
  const BinlogCoordinates before = MasterStatus();
  ASSERT_EQ(Backup(false, "mysql", work / "lsn", work / "nogtid.xbstream"), 0);
  EXPECT_EQ(MasterStatus(), before);

  const std::string staging = work / "staging";
  ::mkdir(staging.c_str(), 0700);
  ASSERT_EQ(Extract(work / "nogtid.xbstream", staging), 0);
  const std::string recorded = ReadFile(staging + "/xtrabackup_binlog_info");
  ASSERT_GE(recorded.size(), 3u);
  EXPECT_EQ(recorded.substr(recorded.size() - 2), "\t\n") << recorded;
  EXPECT_EQ(FromBackup(staging), before);
  EXPECT_EQ(before.number, 1);
}

TEST_F(BackupRestoreServer, WholeServerStreamsExtractsAndPrepares) {
  const std::string first = CreateShop("my-db \xc3\xa9\xd0\xb6");
  const std::string second = CreateShop("xb whole");
  TempDir work("xbserver");
  const BinlogCoordinates before = SettledMasterStatus();
  ASSERT_EQ(Backup(true, "", work / "lsn", work / "all.xbstream"), 0);
  const BinlogCoordinates after = MasterStatus();
  EXPECT_EQ(before, after);
  EXPECT_EQ(log_->FindContaining("--databases").size(), 0u);

  const std::string staging = work / "staging";
  ::mkdir(staging.c_str(), 0700);
  ASSERT_EQ(Extract(work / "all.xbstream", staging), 0);
  for (const std::string& dir : {std::string("mysql"), Encoded(first), Encoded(second)}) {
    EXPECT_TRUE(PathExists(staging + "/" + dir)) << dir;
  }
  EXPECT_TRUE(PathExists(staging + "/xtrabackup_checkpoints"));
  EXPECT_EQ(FromBackup(staging), after);

  // Prepared for a server start: no --export, then owned by mysql.
  XtraBackupUtil util(false, Details(), nullptr, sandbox_.toolDir);
  util.bFullServerXtrabackup = true;
  CKaError result = util.prepare(staging);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(log_->FindContaining("--export").size(), 0u);
  const struct stat mysqlDir = StatOf(sandbox_.datadir + "/mysql");
  const struct stat prepared =
      StatOf(staging + "/" + Encoded(first) + "/" + Encoded(kTableDash) + ".ibd");
  EXPECT_EQ(prepared.st_uid, mysqlDir.st_uid);
  EXPECT_EQ(StatOf(staging).st_mode & 07777, 0770u);
  const std::string checkpoints = ReadFile(staging + "/xtrabackup_checkpoints");
  EXPECT_NE(checkpoints.find("backup_type = "), std::string::npos) << checkpoints;
  EXPECT_EQ(checkpoints.find("backup_type = full-backuped"), std::string::npos) << checkpoints;
}

TEST_F(BackupRestoreServer, OneDatabaseRestoresInPlaceThroughTablespaceImport) {
  const std::string database = CreateShop("my-db \xc3\xa9\xd0\xb6");
  const std::string db = Ident(database);
  const std::map<std::string, std::string> original = Checksums(database);

  TempDir work("xbserver");
  ASSERT_EQ(Backup(false, database, work / "lsn", work / "db.xbstream"), 0);
  const std::string staging = work / "staging";
  ::mkdir(staging.c_str(), 0700);
  ASSERT_EQ(Extract(work / "db.xbstream", staging), 0);

  XtraBackupUtil util(false, Details(), nullptr, sandbox_.toolDir);
  CKaError result = util.prepare(staging);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(log_->Find("The command is [" + sandbox_.toolDir +
                       "/xtrabackup --prepare --export --target-dir=\"" + staging + "\" ]")
                .size(),
            1u);
  const std::string source = staging + "/" + Encoded(database);
  for (const char* table : kInnoDBTables) {
    EXPECT_TRUE(PathExists(source + "/" + Encoded(table) + ".ibd")) << table;
    EXPECT_TRUE(PathExists(source + "/" + Encoded(table) + ".cfg")) << table;
  }

  // Later changes, to be undone by the restore.
  Sql("USE " + db + ";\n" + "UPDATE " + Ident(kTableDash) + " SET v = 'changed' WHERE id < 50;\n" +
      "DELETE FROM " + Ident(kTableOrders) + " WHERE customer = 3;\n" + "INSERT INTO " +
      Ident(kTablePlain) + " VALUES (900001, 'new');\n");
  EXPECT_NE(Checksums(database), original);

  std::string discard = "USE " + db + ";\nSET foreign_key_checks=0;\n";
  std::string import = discard;
  for (const char* table : kInnoDBTables) {
    discard += "ALTER TABLE " + Ident(table) + " DISCARD TABLESPACE;\n";
    import += "ALTER TABLE " + Ident(table) + " IMPORT TABLESPACE;\n";
  }
  Sql(discard);

  XtraMetaData meta;
  meta.tableList = {Table(kTableDash, "InnoDB"), Table(kTableOrders, "InnoDB"),
                    Table(kTablePlain, "InnoDB"), Table(kTableMyIsam, "MyISAM")};
  result = util.applyBack(database, staging, sandbox_.datadir, meta);
  ASSERT_FALSE(result.IsError()) << result.AsString();

  const std::string dest = sandbox_.datadir + "/" + Encoded(database);
  const struct stat mysqlDir = StatOf(sandbox_.datadir + "/mysql");
  for (const char* table : kInnoDBTables) {
    const struct stat copied = StatOf(dest + "/" + Encoded(table) + ".ibd");
    EXPECT_EQ(copied.st_uid, mysqlDir.st_uid) << table;
    EXPECT_EQ(copied.st_mode & 07777, 0770u) << table;
    EXPECT_EQ(StatOf(dest + "/" + Encoded(table) + ".cfg").st_uid, mysqlDir.st_uid) << table;
  }

  Sql(import + "ANALYZE TABLE " + Ident(kTableDash) + ", " + Ident(kTableOrders) + ";\n");
  EXPECT_EQ(Checksums(database), original);
  // The secondary indexes work after the import.
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + db + "." + Ident(kTableOrders) +
                " FORCE INDEX (by_customer) WHERE customer = 3;"),
            "60\n");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + db + "." + Ident(kTableDash) +
                " FORCE INDEX (k_idx) WHERE k = 5;"),
            "21\n");
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM " + db + "." + Ident(kTableMyIsam) + ";"), "2\n");
}

TEST_F(BackupRestoreServer, ARefusedConnectionEndsTheStreamWithTheToolsReason) {
  mysqlDetails details = Details();
  details.sUser = "xb_nobody_" + suffix_;
  TempDir work("xbserver");
  MySqlChildProcess host;
  XtraBackupUtil util(false, details, &host, sandbox_.toolDir);
  ASSERT_FALSE(util.startStream("mysql", 1, work / "lsn").IsError());
  std::vector<char> buffer(1 << 20);
  long length = static_cast<long>(buffer.size());
  long total = 0;
  while (host.ReadBuf(buffer.data(), &length) == 0 && length > 0) {
    total += length;
    length = static_cast<long>(buffer.size());
  }
  EXPECT_EQ(total, 0);
  EXPECT_NE(host.Wait(0), 0);
  std::vector<char> err(4096);
  length = static_cast<long>(err.size());
  ASSERT_EQ(host.ReadErrBuf(err.data(), &length), 0);
  const std::string reason(err.data(), static_cast<size_t>(length));
  EXPECT_NE(reason.find("Failed to connect"), std::string::npos) << reason;
}

TEST_F(BackupRestoreServer, SchemaDumpGivesTheCreateStatementsOrTheToolsError) {
  const std::string database = CreateShop("my-db \xc3\xa9\xd0\xb6");
  XtraBackupUtil util;
  std::string schema;
  CKaError result = util.getSchemaDataForXtrabackup(
      "mariadb-dump --defaults-file=" + Sq(sandbox_.cnf) + " --no-data --databases " + Sq(database),
      schema);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_NE(schema.find("CREATE DATABASE"), std::string::npos);
  for (const char* table : {kTableDash, kTableOrders, kTablePlain, kTableMyIsam}) {
    EXPECT_NE(schema.find("CREATE TABLE `" + std::string(table) + "`"), std::string::npos) << table;
  }
  EXPECT_EQ(schema.find("INSERT INTO"), std::string::npos);

  std::string nothing;
  const std::string missing = "xb_no_such_db_" + suffix_;
  result = util.getSchemaDataForXtrabackup(
      "mariadb-dump --defaults-file=" + Sq(sandbox_.cnf) + " --no-data --databases " + missing,
      nothing);
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.GetFunction(), sig::kSchema);
  EXPECT_EQ(result.GetCode(), 1627u);
  const std::string text = result.AsString();
  ASSERT_GE(text.size(), 2u);
  EXPECT_EQ(text.front(), '[');
  EXPECT_EQ(text.back(), ']');
  EXPECT_NE(text.find("Unknown database '" + missing + "'"), std::string::npos) << text;
  EXPECT_EQ(log_->Find("mysqldump command failed with error [" + text + "]").size(), 1u);
}

}  // namespace
