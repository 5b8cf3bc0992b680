// xbagent, the reference host program, end to end against the throwaway
// server: every subcommand, the backup directory it writes, a whole-server
// restore that a second server starts on, and the failures that must never
// leave a result that looks good.

#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::PathExists;
using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Contains;
using xbtest::Sha256Of;
using xbtest::Sandbox;
using xbtest::TempDir;
using xbtest::WriteFile;

// Names the server stores encoded on disk; unique to this file.
const char kDb[] = "xbagent_my-db";
const char kDbOnDisk[] = "xbagent_my@002ddb";
const char kOddTable[] = "t \xc3\xa9-1";  // "t é-1"

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

std::string Ident(const std::string& name) { return "`" + name + "`"; }

using Result = xbtest::RunResult;

// No file or directory in dir whose name contains "partial" or "staging".
bool HasLeftovers(const std::string& dir) {
  int status = 0;
  std::string found = RunShell("ls -A " + Q(dir) + " | grep -E 'partial|staging'", &status);
  return !found.empty();
}

class XbagentTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_.reset(new TempDir("xbagent-suite")); }
  static void TearDownTestSuite() { shared_.reset(); }

  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    bin_ = xbtest::BinDir() + "/xbagent";
    if (::access(bin_.c_str(), X_OK) != 0) GTEST_SKIP() << "xbagent not built at " << bin_;
    EnsureSampleData();
  }

  // Runs xbagent with already quoted arguments.
  Result Xb(const std::string& args, const std::string& redirectOut = "") {
    return xbtest::RunProgram("xbagent", args, redirectOut);
  }

  std::string Sql(const std::string& sql) {
    int status = 0;
    std::string out = sandbox_.Sql(sql, &status);
    EXPECT_EQ(status, 0) << sql << "\n" << out;
    return out;
  }

  void EnsureSampleData() {
    if (sampleReady_) return;
    std::string db = Ident(kDb);
    Sql("DROP DATABASE IF EXISTS " + db + ";\n"
        "CREATE DATABASE " + db + ";\n"
        "USE " + db + ";\n"
        "CREATE TABLE " + Ident(kOddTable) +
        " (id INT PRIMARY KEY, v VARCHAR(40), KEY kv (v)) ENGINE=InnoDB;\n"
        "INSERT INTO " + Ident(kOddTable) +
        " SELECT seq, CONCAT('v', seq) FROM seq_1_to_2000;\n"
        "CREATE TABLE parent (id INT PRIMARY KEY, name VARCHAR(20), KEY (name)) ENGINE=InnoDB;\n"
        "CREATE TABLE child (id INT PRIMARY KEY, parent_id INT, KEY (parent_id),\n"
        "  FOREIGN KEY (parent_id) REFERENCES parent (id)) ENGINE=InnoDB;\n"
        "INSERT INTO parent SELECT seq, CONCAT('p', seq) FROM seq_1_to_100;\n"
        "INSERT INTO child SELECT seq, 1 + seq % 100 FROM seq_1_to_500;\n"
        "CREATE TABLE parts (id INT PRIMARY KEY, v INT) PARTITION BY HASH (id) PARTITIONS 3;\n"
        "INSERT INTO parts SELECT seq, seq * 7 FROM seq_1_to_300;\n"
        "CREATE TABLE docs (id INT PRIMARY KEY, body TEXT, FULLTEXT (body)) ENGINE=InnoDB;\n"
        "INSERT INTO docs VALUES (1, 'alpha beta'), (2, 'gamma delta');\n"
        "CREATE TABLE plain (id INT, v INT) ENGINE=MyISAM;\n"
        "INSERT INTO plain SELECT seq, seq FROM seq_1_to_50;\n");
    sampleReady_ = true;
  }

  std::string Checksums(const std::string& cnf) {
    std::string list;
    for (const char* table : {kOddTable, "parent", "child", "parts", "docs", "plain"}) {
      if (!list.empty()) list += ", ";
      list += Ident(kDb) + "." + Ident(table);
    }
    int status = 0;
    std::string out = RunShell("mariadb --defaults-file=" + Q(cnf) + " -N -B -e " +
                                   Q("CHECKSUM TABLE " + list) + " 2>&1",
                               &status);
    EXPECT_EQ(status, 0) << out;
    return out;
  }

  // A one-database backup of kDb, made once for the tests that need one.
  const std::string& DatabaseBackup() {
    static std::string dir;
    if (dir.empty()) {
      std::string path = *shared_ / "db-backup";
      Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
                    " --output-dir " + Q(path));
      EXPECT_EQ(r.status, 0) << r.err;
      if (r.status == 0) dir = path;
    }
    return dir;
  }

  // A whole-server backup, made once.
  const std::string& ServerBackup() {
    static std::string dir;
    if (dir.empty()) {
      std::string path = *shared_ / "server-backup";
      Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --output-dir " + Q(path));
      EXPECT_EQ(r.status, 0) << r.err;
      if (r.status == 0) dir = path;
    }
    return dir;
  }

  // A tool directory whose xtrabackup answers --version like the real one and
  // otherwise runs `body` (a shell snippet).
  std::string FakeToolDir(const TempDir& dir, const std::string& body) {
    std::string script =
        "#!/bin/bash\n"
        "for a in \"$@\"; do if [ \"$a\" = --version ]; then\n"
        "  echo \"$0 based on MariaDB server 10.11.0-MariaDB (fake)\" >&2; exit 0; fi; done\n" +
        body + "\n";
    WriteFile(dir / "xtrabackup", script);
    ::chmod((dir / "xtrabackup").c_str(), 0755);
    WriteFile(dir / "xbstream", "#!/bin/sh\nexec mbstream \"$@\"\n");
    ::chmod((dir / "xbstream").c_str(), 0755);
    return dir.path();
  }

  static std::unique_ptr<TempDir> shared_;
  static bool sampleReady_;
  Sandbox sandbox_;
  std::string bin_;
};

std::unique_ptr<TempDir> XbagentTest::shared_;
bool XbagentTest::sampleReady_ = false;

TEST_F(XbagentTest, BadUsageExitsTwoWithTheCause) {
  Result r = Xb("");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "Usage: xbagent")) << r.err;

  r = Xb("frobnicate");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "unknown command 'frobnicate'")) << r.err;

  r = Xb("backup --output-dir /tmp/nowhere");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "--defaults-file")) << r.err;

  r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --output-dir x --output -");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "exactly one of --output-dir")) << r.err;

  r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --output-dir x --parallel many");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "--parallel")) << r.err;

  r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --output-dir x --bogus");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "unknown option --bogus")) << r.err;

  r = Xb("restore --from x");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "--full")) << r.err;

  r = Xb("restore --full --from x");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "--target-datadir")) << r.err;

  r = Xb("restore --database " + Q(kDb) + " --from x");
  EXPECT_EQ(r.status, 2);
  EXPECT_TRUE(Contains(r.err, "--defaults-file")) << r.err;

  r = Xb("binlog-info");
  EXPECT_EQ(r.status, 2);

  r = Xb("encode");
  EXPECT_EQ(r.status, 2);

  for (const char* command : {"backup", "restore", "restore --full", "restore --database d",
                              "binlog-info", "encode", "verify", "info", "list", "binlog-archive",
                              "help"}) {
    r = Xb(std::string(command) + " --help");
    EXPECT_EQ(r.status, 0) << command;
    EXPECT_TRUE(Contains(r.out, "Usage: xbagent")) << command << ": " << r.out;
  }
}

TEST_F(XbagentTest, EncodeGivesTheServersOnDiskNames) {
  Result r = Xb(std::string("encode ") + Q(kDb) + " " + Q(kOddTable) + " plain");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string expectedTable = Sql(std::string("SELECT CAST(CONVERT(_utf8mb4'") + kOddTable +
                                  "' USING filename) AS BINARY)");
  EXPECT_EQ(r.out, std::string(kDbOnDisk) + "\n" + expectedTable + "plain\n");
  // The server really uses these names for the directory and the files.
  EXPECT_TRUE(PathExists(sandbox_.datadir + "/" + kDbOnDisk));
  std::string tableFile = expectedTable.substr(0, expectedTable.size() - 1);
  EXPECT_TRUE(PathExists(sandbox_.datadir + "/" + kDbOnDisk + "/" + tableFile + ".frm"));
}

TEST_F(XbagentTest, DatabaseBackupHoldsTheEncodedDatabaseDirectory) {
  const std::string& dir = DatabaseBackup();
  ASSERT_FALSE(dir.empty());
  const std::string stream = dir + "/backup.xbstream";
  ASSERT_TRUE(PathExists(stream));
  ASSERT_TRUE(PathExists(dir + "/manifest.json"));
  ASSERT_TRUE(PathExists(dir + "/schema.sql"));
  EXPECT_FALSE(HasLeftovers(*shared_ / ""));

  // The manifest records the stream's size and hash, and every table.
  std::string manifest = ReadFile(dir + "/manifest.json");
  EXPECT_TRUE(Contains(manifest, "\"kind\": \"database\"")) << manifest;
  EXPECT_TRUE(Contains(manifest, std::string("\"database\": \"") + kDb + "\""));
  EXPECT_TRUE(Contains(manifest, "\"sha256\": \"" + Sha256Of(stream) + "\""));
  struct stat info;
  ASSERT_EQ(::stat(stream.c_str(), &info), 0);
  EXPECT_TRUE(Contains(manifest, "\"size\": " + std::to_string(info.st_size) + ","));
  EXPECT_TRUE(Contains(manifest, std::string("\"name\": \"") + kOddTable + "\""));
  EXPECT_TRUE(Contains(manifest, "\"partitioned\": true"));
  EXPECT_TRUE(Contains(manifest, "\"fulltext\": true"));
  EXPECT_TRUE(Contains(manifest, "\"engine\": \"MyISAM\""));
  EXPECT_TRUE(Contains(manifest, "based on MariaDB server")) << "tool version";
  EXPECT_TRUE(Contains(manifest, "libXtraBackupUtil.so")) << "library version";

  // The schema came from mariadb-dump with the SQL name.
  std::string schema = ReadFile(dir + "/schema.sql");
  EXPECT_TRUE(Contains(schema, std::string("CREATE DATABASE /*!32312 IF NOT EXISTS*/ `") + kDb))
      << schema.substr(0, 600);
  EXPECT_TRUE(Contains(schema, std::string("CREATE TABLE `") + kOddTable + "`"));

  // The stream holds the database's directory under its on-disk name, and
  // no other database.
  TempDir extracted("xbagent-x");
  int status = 0;
  std::string out =
      RunShell("mbstream -x -C " + Q(extracted.path()) + " < " + Q(stream) + " 2>&1", &status);
  ASSERT_EQ(status, 0) << out;
  std::string oddOnDisk = Xb(std::string("encode ") + Q(kOddTable)).out;
  oddOnDisk.pop_back();
  EXPECT_TRUE(PathExists(extracted / (std::string(kDbOnDisk) + "/" + oddOnDisk + ".frm")));
  EXPECT_TRUE(PathExists(extracted / (std::string(kDbOnDisk) + "/parent.frm")));
  EXPECT_TRUE(PathExists(extracted / "xtrabackup_checkpoints"));
  EXPECT_FALSE(PathExists(extracted / kDb)) << "the SQL name is not a directory on disk";
  EXPECT_FALSE(PathExists(extracted / "mysql"));
}

TEST_F(XbagentTest, StreamToStandardOutputWithManifestFile) {
  TempDir out("xbagent-out");
  Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
                    " --output - --manifest " + Q(out / "m.json") + " --schema " +
                    Q(out / "s.sql"),
                out / "stream.xbs");
  ASSERT_EQ(r.status, 0) << r.err;
  std::string manifest = ReadFile(out / "m.json");
  EXPECT_TRUE(Contains(manifest, "\"sha256\": \"" + Sha256Of(out / "stream.xbs") + "\""));
  EXPECT_TRUE(Contains(manifest, "\"file\": null")) << "no stream file with --output -";
  EXPECT_TRUE(Contains(ReadFile(out / "s.sql"), "CREATE TABLE `parent`"));

  // Nothing binary goes to a terminal-less stdout by mistake: stdout is only the stream.
  std::string head = ReadFile(out / "stream.xbs").substr(0, 8);
  EXPECT_EQ(head, "XBSTCK01");
}

TEST_F(XbagentTest, StreamIntoAPipeIsHashedAndAClosedPipeFailsTheBackup) {
  // Standard output a pipe: the stream is passed on without a copy, and
  // still hashed and judged.
  TempDir out("xbagent-pipe");
  const std::string backup = Q(bin_) + " -q backup --defaults-file " + Q(sandbox_.cnf) +
                             " --database " + Q(kDb) + " --output - --manifest " +
                             Q(out / "m.json") + " --schema " + Q(out / "s.sql");
  int status = -1;
  RunShell("bash -c " + Q("timeout 120 " + backup + " | cat > " + Q(out / "stream.xbs") +
                          "; exit ${PIPESTATUS[0]}"),
           &status);
  ASSERT_EQ(status, 0);
  std::string manifest = ReadFile(out / "m.json");
  EXPECT_TRUE(Contains(manifest, "\"sha256\": \"" + Sha256Of(out / "stream.xbs") + "\""));
  EXPECT_EQ(ReadFile(out / "stream.xbs").substr(0, 8), "XBSTCK01");

  // The stream teed on is whole.
  ASSERT_EQ(::mkdir((out / "x").c_str(), 0700), 0);
  RunShell(Q(sandbox_.toolDir + "/xbstream") + " -x -C " + Q(out / "x") + " < " +
               Q(out / "stream.xbs"),
           &status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(PathExists(out / (std::string("x/") + kDbOnDisk))) << "the database's files are in the stream";

  // A reader that goes away fails the backup at once.
  std::string err = RunShell(
      "bash -c " + Q("timeout 120 " + backup + " 2>" + Q(out / "err") +
                     " | head -c 100 >/dev/null; exit ${PIPESTATUS[0]}"),
      &status);
  EXPECT_EQ(status, 1) << ReadFile(out / "err");
  EXPECT_TRUE(Contains(ReadFile(out / "err"), "cannot write the stream")) << ReadFile(out / "err");
  EXPECT_NE(status, 124) << "the backup hung";
}

// Every process below pid (children, their children, ...).
std::vector<pid_t> Descendants(pid_t pid) {
  std::vector<std::pair<pid_t, pid_t>> all;
  std::istringstream table(RunShell("ps -e -o pid= -o ppid="));
  long child = 0, parent = 0;
  while (table >> child >> parent) all.emplace_back(child, parent);
  std::vector<pid_t> found = {pid};
  for (size_t i = 0; i < found.size(); ++i) {
    for (const auto& entry : all) {
      if (entry.second == found[i]) found.push_back(entry.first);
    }
  }
  found.erase(found.begin());
  return found;
}

// Gone, or a zombie nobody has reaped yet.
bool Ended(pid_t pid) {
  const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
  const size_t paren = stat.rfind(')');
  return paren == std::string::npos || stat.compare(paren + 2, 1, "Z") == 0;
}

TEST_F(XbagentTest, SigtermDuringABackupEndsTheToolsTreeAndExits130) {
  TempDir out("xbagent-term");
  xbtest::Background run = xbtest::StartXbagent(
      "backup --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) +
          " --database " + Q(kDb) + " --output-dir " + Q(out / "b"),
      out.path(), out.path());
  std::vector<pid_t> tree;
  for (int i = 0; i < 1000 && tree.empty(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    tree = Descendants(run.pid);
  }
  ASSERT_FALSE(tree.empty()) << ReadFile(run.err);
  ::kill(run.pid, SIGTERM);
  double seconds = 0;
  EXPECT_EQ(xbtest::WaitForExit(run.pid, 10, &seconds), 130) << ReadFile(run.err);
  if (seconds < 2) {
    std::this_thread::sleep_for(std::chrono::duration<double>(2 - seconds));
  }
  for (pid_t pid : tree) EXPECT_TRUE(Ended(pid)) << "pid " << pid << " of the backup still runs";
  EXPECT_FALSE(PathExists(out / "b")) << "an interrupted backup left its directory";
}

TEST_F(XbagentTest, WholeServerBackupRestoresToAStartableDataDirectory) {
  if (::geteuid() != 0) GTEST_SKIP() << "restore --full runs as root";
  const std::string& backup = ServerBackup();
  ASSERT_FALSE(backup.empty());
  std::string manifest = ReadFile(backup + "/manifest.json");
  EXPECT_TRUE(Contains(manifest, "\"kind\": \"server\""));
  EXPECT_TRUE(Contains(manifest, std::string("\"database\": \"") + kDb + "\""))
      << "the table list names the databases";

  TempDir work("xbagent-restore");
  ::chmod(work.path().c_str(), 0755);  // the second server runs as mysql
  const std::string target = work / "data";
  Result r = Xb("restore --full --from " + Q(backup) + " --target-datadir " + Q(target));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(PathExists(target + "/xtrabackup_checkpoints"));
  EXPECT_TRUE(PathExists(target + "/" + kDbOnDisk));
  EXPECT_FALSE(HasLeftovers(work.path()));
  struct stat info;
  ASSERT_EQ(::stat(target.c_str(), &info), 0);
  EXPECT_EQ(RunShell("id -u mysql"), std::to_string(info.st_uid) + "\n") << "owned by mysql";

  // The coordinates printed by restore, binlog-info on the backup and on the
  // restored directory agree with the manifest.
  ASSERT_TRUE(Contains(r.out, "file_number=")) << r.out;
  Result fromBackup = Xb("binlog-info " + Q(backup));
  Result fromTarget = Xb("binlog-info " + Q(target));
  EXPECT_EQ(fromBackup.status, 0) << fromBackup.err;
  EXPECT_EQ(fromBackup.out, r.out);
  EXPECT_EQ(fromTarget.out, r.out);
  std::string position = r.out.substr(r.out.find("position=") + 9);
  position.pop_back();
  EXPECT_TRUE(Contains(manifest, "\"position\": " + position)) << manifest.substr(0, 2000);
  Result json = Xb("binlog-info " + Q(target) + " --json");
  EXPECT_EQ(json.status, 0);
  EXPECT_TRUE(Contains(json.out, "\"position\": " + position)) << json.out;
  EXPECT_TRUE(Contains(json.out, "\"file\": \"mysql-bin.")) << json.out;

  // A second server starts on the restored directory with equal tables. It
  // runs as mysql, so its socket, pid and log live in a directory of mysql's.
  const std::string run = work / "run";
  const std::string cnf = work / "my.cnf";
  ::mkdir(run.c_str(), 0755);
  RunShell("chown mysql:mysql " + Q(run));
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
  std::string restoredSums = up ? Checksums(cnf) : std::string();
  std::string originalSums = Checksums(sandbox_.cnf);
  // Stop the second server, whatever happened above.
  RunShell("pid=$(cat " + Q(run + "/s.pid") + " 2>/dev/null); [ -n \"$pid\" ] && kill $pid; "
           "for i in $(seq 1 100); do [ -n \"$pid\" ] && kill -0 $pid 2>/dev/null || break; "
           "sleep 0.1; done");
  ASSERT_TRUE(up) << ReadFile(run + "/error.log") << ReadFile(work / "out.log");
  EXPECT_EQ(restoredSums, originalSums);
  EXPECT_TRUE(Contains(originalSums, "parent")) << originalSums;
}

TEST_F(XbagentTest, WrongPasswordFailsWithoutAResult) {
  TempDir dir("xbagent-pw");
  std::string cnf = ReadFile(sandbox_.cnf);
  size_t client = cnf.find("[client]\n");
  ASSERT_NE(client, std::string::npos);
  cnf.insert(client + 9, "password=certainly-wrong\n");
  WriteFile(dir / "bad.cnf", cnf);
  Result r = Xb("backup --defaults-file " + Q(dir / "bad.cnf") + " --database " + Q(kDb) +
                " --output-dir " + Q(dir / "out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Access denied")) << r.err;
  EXPECT_FALSE(PathExists(dir / "out"));
  EXPECT_FALSE(HasLeftovers(dir.path()));
}

TEST_F(XbagentTest, ServerDownFailsWithoutAResult) {
  TempDir dir("xbagent-down");
  Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --socket " +
                Q(dir / "no-such.sock") + " --output-dir " + Q(dir / "out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "Can't connect")) << r.err;
  EXPECT_TRUE(Contains(r.err, "no-such.sock")) << r.err;
  EXPECT_FALSE(PathExists(dir / "out"));
  EXPECT_FALSE(HasLeftovers(dir.path()));
}

TEST_F(XbagentTest, UnwritableOrOccupiedOutputFails) {
  TempDir dir("xbagent-unwritable");
  WriteFile(dir / "file", "x");
  Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
                " --output-dir " + Q(dir / "file/out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "cannot create the output directory")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Not a directory")) << r.err;

  ::mkdir((dir / "full").c_str(), 0755);
  WriteFile(dir / "full/keep", "x");
  r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
         " --output-dir " + Q(dir / "full"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "not empty")) << r.err;
  EXPECT_EQ(ReadFile(dir / "full/keep"), "x");
  EXPECT_FALSE(PathExists(dir / "full/manifest.json"));

  r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database no_such_db_xbagent" +
         " --output-dir " + Q(dir / "none"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "does not exist")) << r.err;
  EXPECT_FALSE(PathExists(dir / "none"));
  EXPECT_FALSE(HasLeftovers(dir.path()));
}

// The slips of an operator's first week: each is refused naming the cause
// and the fix before anything changes, or gets the right answer.
TEST_F(XbagentTest, OperatorSlipsAreRefusedNamingTheCauseAndTheFix) {
  const std::string& backup = DatabaseBackup();
  ASSERT_FALSE(backup.empty());
  TempDir work("xbagent-slips");
  ::symlink(sandbox_.datadir.c_str(), (work / "datalink").c_str());
  ::chmod(work.path().c_str(), 0755);
  ::mkdir((work / "locked").c_str(), 0700);
  ::mkdir((work / "locked/x").c_str(), 0700);
  const std::string cnf = " --defaults-file " + Q(sandbox_.cnf);
  const std::string weakCnf = work / "weak.cnf";
  Sql("CREATE USER IF NOT EXISTS 'xbagent_weak'@'localhost' IDENTIFIED BY 'pw';\n"
      "GRANT SELECT, RELOAD, PROCESS ON *.* TO 'xbagent_weak'@'localhost';\n");
  WriteFile(weakCnf, "[client]\nsocket=" + sandbox_.dir + "/mysql.sock\nuser=xbagent_weak\n"
                     "password=pw\n");
  const std::string restore = "restore --database " + Q(kDb) + " --from " + Q(backup);
  struct Case {
    std::string args;
    int status;
    std::string says;  // in standard output or error
  };
  const std::vector<Case> cases = {
      {"backup" + cnf + " --output-dir " + Q(sandbox_.datadir + "/xbagent_phantom"), 1,
       "lies inside the server's data directory"},
      {"backup" + cnf + " --output-dir " + Q(work / "datalink/xbagent_phantom"), 1,
       "lies inside the server's data directory"},
      {"backup" + cnf + " --output-dir " + Q(work / "b") + " --datadir " + Q(work.path()), 1,
       "is not the server's data directory " + sandbox_.datadir},
      {restore + " --as xbagent_slip" + cnf + " --datadir " + Q(work.path()) + " --dry-run", 1,
       "is not the server's data directory"},
      {restore + " --as xbagent_slip --defaults-file " + Q(weakCnf), 1,
       "SET SESSION sql_log_bin = 0 failed: Access denied"},
      {restore + " --as xbagent_slip --defaults-file " + Q(weakCnf), 1,
       "GRANT BINLOG ADMIN ON *.* TO the user); nothing was changed"},
      {restore + " --as xbagent_slip" + cnf + " --dry-run --json", 0, "\"dry_run\": true"},
      {"restore --database " + Q(std::string("`") + kDb + "`") + " --as '`xbagent_q``d`' --from " +
           Q(backup) + cnf + " --dry-run", 0, "target: 'xbagent_q`d'"},
      {"info " + Q(backup + "/manifest.json"), 0, "kind:           database"},
      {"help backup", 0, "Usage: xbagent backup"},
      {"restore --database --help", 0, "Usage: xbagent restore --database NAME"},
      // Run as root, the throwaway server is user mysql's, which cannot enter locked/.
      {"verify " + Q(backup) + " --scratch-dir " + Q(work / "locked/x"), 1,
       "user mysql, which runs the throwaway server, cannot enter " + work / "locked "},
  };
  for (const Case& c : cases) {
    if (::geteuid() != 0 && c.args.compare(0, 7, "verify ") == 0) continue;
    Result r = Xb(c.args);
    EXPECT_EQ(r.status, c.status) << c.args << "\n" << r.err;
    EXPECT_TRUE(Contains(r.out + r.err, c.says)) << c.args << "\n" << r.out << r.err;
  }
  EXPECT_FALSE(PathExists(sandbox_.datadir + "/xbagent_phantom"));
  EXPECT_FALSE(PathExists(work / "b"));
  EXPECT_FALSE(PathExists(backup + "/verify.json")) << "a refused verify records no verdict";
  EXPECT_EQ(Sql("SHOW DATABASES LIKE 'xbagent\\_slip'"), "");
  Sql("DROP USER 'xbagent_weak'@'localhost'");
}

TEST_F(XbagentTest, ToolFailureReportsTheToolsReason) {
  TempDir tools("xbagent-tools");
  FakeToolDir(tools,
              "echo '[00] 2024-01-01 12:00:00 Connecting to MariaDB server host: localhost' >&2\n"
              "echo 'Failed to connect to MariaDB server: fake reason for the test' >&2\n"
              "exit 1");
  TempDir dir("xbagent-toolfail");
  Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
                " --tool-dir " + Q(tools.path()) + " --output-dir " + Q(dir / "out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "exit status 1")) << r.err;
  EXPECT_TRUE(Contains(r.err, "Failed to connect to MariaDB server: fake reason")) << r.err;
  EXPECT_FALSE(PathExists(dir / "out"));
  EXPECT_FALSE(HasLeftovers(dir.path()));
}

TEST_F(XbagentTest, TableLeftOutByTheToolFailsTheBackup) {
  const std::string& good = DatabaseBackup();
  ASSERT_FALSE(good.empty());
  // Exit 0 and "completed OK!", but a table was silently left out.
  TempDir tools("xbagent-tools");
  FakeToolDir(tools,
              "cat " + Q(good + "/backup.xbstream") + "\n"
              "echo '[01] 2024-01-01 12:00:00 InnoDB: Table `" + std::string(kDbOnDisk) +
                  "`.`parent`: We assume the  table was dropped during xtrabackup execution "
                  "and ignore the tablespace' >&2\n"
                  "echo '[00] 2024-01-01 12:00:01 completed OK!' >&2\n"
                  "exit 0");
  TempDir dir("xbagent-dropped");
  Result r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
                " --tool-dir " + Q(tools.path()) + " --output-dir " + Q(dir / "out"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "incomplete")) << r.err;
  EXPECT_TRUE(Contains(r.err, "We assume the  table was dropped")) << r.err;
  EXPECT_FALSE(PathExists(dir / "out"));
  EXPECT_FALSE(HasLeftovers(dir.path()));

  // Exit 0 without the success line is no success either, also with --output -.
  TempDir tools2("xbagent-tools");
  FakeToolDir(tools2, "cat " + Q(good + "/backup.xbstream") + "\necho 'all done' >&2\nexit 0");
  r = Xb("backup --defaults-file " + Q(sandbox_.cnf) + " --database " + Q(kDb) +
             " --tool-dir " + Q(tools2.path()) + " --output - --manifest " + Q(dir / "m.json") +
             " --schema " + Q(dir / "s.sql"),
         dir / "stream");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "did not report success")) << r.err;
  EXPECT_TRUE(Contains(r.err, "all done")) << r.err;
  EXPECT_FALSE(PathExists(dir / "m.json"));
}

TEST_F(XbagentTest, RestoreRefusesOccupiedStagingAndTarget) {
  if (::geteuid() != 0) GTEST_SKIP() << "restore --full runs as root";
  const std::string& backup = ServerBackup();
  ASSERT_FALSE(backup.empty());
  TempDir work("xbagent-occupied");
  ::mkdir((work / "busy").c_str(), 0755);
  WriteFile(work / "busy/old", "x");
  Result r = Xb("restore --full --from " + Q(backup) + " --target-datadir " + Q(work / "data") +
                " --staging-dir " + Q(work / "busy"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "staging directory")) << r.err;
  EXPECT_TRUE(Contains(r.err, "is not empty")) << r.err;
  EXPECT_FALSE(PathExists(work / "data"));
  EXPECT_EQ(ReadFile(work / "busy/old"), "x");

  ::mkdir((work / "data").c_str(), 0755);
  WriteFile(work / "data/ibdata1", "live");
  r = Xb("restore --full --from " + Q(backup) + " --target-datadir " + Q(work / "data"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "target data directory")) << r.err;
  EXPECT_EQ(ReadFile(work / "data/ibdata1"), "live");
  EXPECT_FALSE(HasLeftovers(work.path()));

  // A one-database backup is not a whole server.
  const std::string& dbBackup = DatabaseBackup();
  r = Xb("restore --full --from " + Q(dbBackup) + " --target-datadir " + Q(work / "new"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "restore --database")) << r.err;
  EXPECT_FALSE(PathExists(work / "new"));
}

TEST_F(XbagentTest, DamagedStreamsAreNeverRestored) {
  if (::geteuid() != 0) GTEST_SKIP() << "restore --full runs as root";
  const std::string& backup = ServerBackup();
  ASSERT_FALSE(backup.empty());
  TempDir work("xbagent-damaged");
  const std::string copy = work / "backup";
  int status = 0;
  RunShell("cp -a " + Q(backup) + " " + Q(copy), &status);
  ASSERT_EQ(status, 0);
  const std::string stream = copy + "/backup.xbstream";
  struct stat info;
  ASSERT_EQ(::stat(stream.c_str(), &info), 0);
  const long size = static_cast<long>(info.st_size);

  // Same size, one byte changed: the hash tells.
  RunShell("printf 'Z' | dd of=" + Q(stream) + " bs=1 seek=" + std::to_string(size / 2) +
           " conv=notrunc status=none");
  Result r = Xb("restore --full --from " + Q(copy) + " --target-datadir " + Q(work / "d1"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "SHA-256")) << r.err;
  EXPECT_TRUE(Contains(r.err, "does not match")) << r.err;
  EXPECT_FALSE(PathExists(work / "d1"));

  // Whole, but not the stream recorded: refused once prepared, never moved.
  const std::string recorded = Sha256Of(backup + "/backup.xbstream");
  RunShell("cp " + Q(backup + "/backup.xbstream") + " " + Q(stream) + " && sed -i s/" +
           recorded + "/" + std::string(64, 'a') + "/ " + Q(copy + "/manifest.json"));
  ASSERT_TRUE(Contains(ReadFile(copy + "/manifest.json"), std::string(64, 'a')));
  r = Xb("restore --full --from " + Q(copy) + " --target-datadir " + Q(work / "d0"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "does not match")) << r.err;
  EXPECT_FALSE(PathExists(work / "d0"));
  RunShell("cp " + Q(backup + "/manifest.json") + " " + Q(copy + "/manifest.json"));

  // Truncated: the size tells, before anything is extracted.
  RunShell("cp " + Q(backup + "/backup.xbstream") + " " + Q(stream) + " && truncate -s " +
           std::to_string(size / 3) + " " + Q(stream));
  r = Xb("restore --full --from " + Q(copy) + " --target-datadir " + Q(work / "d2"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "truncated")) << r.err;
  EXPECT_FALSE(PathExists(work / "d2"));

  // Truncated with a manifest rewritten to match: extraction itself fails
  // and the tool's reason is reported.
  std::string manifest = ReadFile(copy + "/manifest.json");
  std::string oldSha = Sha256Of(backup + "/backup.xbstream");
  std::string newSha = Sha256Of(stream);
  size_t at = manifest.find(oldSha);
  ASSERT_NE(at, std::string::npos);
  manifest.replace(at, oldSha.size(), newSha);
  std::string oldSize = "\"size\": " + std::to_string(size) + ",";
  at = manifest.find(oldSize);
  ASSERT_NE(at, std::string::npos);
  manifest.replace(at, oldSize.size(), "\"size\": " + std::to_string(size / 3) + ",");
  WriteFile(copy + "/manifest.json", manifest);
  r = Xb("restore --full --from " + Q(copy) + " --target-datadir " + Q(work / "d3"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "xbstream") || Contains(r.err, "incomplete")) << r.err;
  EXPECT_FALSE(PathExists(work / "d3"));
  EXPECT_FALSE(HasLeftovers(work.path()));

  // No binary-log record: binlog-info says so.
  r = Xb("binlog-info " + Q(work.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "xtrabackup_binlog_info")) << r.err;
}

}  // namespace
