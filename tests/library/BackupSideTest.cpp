// The backup side of the utility: starting the streaming backup, starting the
// extraction of a stream, reading the binary-log coordinates of a backup and
// running the schema dump. Tools are fake scripts that record their argument
// vectors; commands run as real child processes.

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "OperationTestSupport.h"
#include "harness/Harness.h"
#include "harness/TimeBound.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;
using xbtest::FakeTool;
using xbtest::PathExists;
using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::ScopedLogWriter;
using xbtest::ScopedSettings;
using xbtest::TempDir;
using xbtest::WriteFile;
using xbtest::ops::ExpectedLog;
using xbtest::ops::IsLibraryFailure;
using xbtest::ops::LoggedExactly;
using xbtest::ops::LoggedInOrder;
using xbtest::ops::LoggedOnce;
using XtraBackup::mysqlDetails;
using XtraBackup::XtraBackupUtil;
namespace sig = xbtest::sig;
namespace ops = xbtest::ops;

std::string ReadToEnd(MySqlChildProcess& child) { return xbtest::ReadChildOutput(child); }

mysqlDetails PlainDetails() {
  mysqlDetails details;
  details.sDefaultsFile = "/etc/mysql/my.cnf";
  details.sUser = "backup";
  details.sDataDir = "/var/lib/mysql";
  details.sConnectInfo = "/run/mysqld/mysqld.sock";
  return details;
}

class BackupSide : public ::testing::Test {
 protected:
  BackupSide() : root_("xbbackup"), toolDir_(root_ / "tools") { ops::MakeDirs(toolDir_); }

  ScopedLogWriter log_;
  ScopedSettings settings_;
  TempDir root_;
  std::string toolDir_;
};

// ---------------------------------------------------------------- startStream

TEST_F(BackupSide, StartStreamRunsThePlainCommandForOneDatabase) {
  FakeTool tool;
  tool.stdoutText = "STREAM";
  tool.Install(toolDir_, "xtrabackup");
  settings_.SetMySql("sAdvancedXtraBackupOptions", "--compress --compress-threads=2");
  const std::string lsnDir = root_ / "lsn";

  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  CKaError result = util.startStream("sales", 4, lsnDir);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(ReadToEnd(host), "STREAM");
  EXPECT_EQ(host.Wait(0), 0);

  const std::string command =
      toolDir_ +
      "/xtrabackup --defaults-file=/etc/mysql/my.cnf --user=backup --backup "
      "--datadir=/var/lib/mysql --socket=/run/mysqld/mysqld.sock --parallel=4 --extra-lsndir=\"" +
      lsnDir + "\" --databases \"sales\" --stream=xbstream --compress --compress-threads=2";
  EXPECT_TRUE(
      LoggedExactly(*log_, {
                               {0, sig::kStartStream, "found option bFullServerXtrabackup: 0"},
                               {2, sig::kRun, "The command run is : [" + command + "]"},
                           }));
  EXPECT_EQ(
      FakeTool::LastArgs(toolDir_, "xtrabackup"),
      (std::vector<std::string>{"--defaults-file=/etc/mysql/my.cnf", "--user=backup", "--backup",
                                "--datadir=/var/lib/mysql", "--socket=/run/mysqld/mysqld.sock",
                                "--parallel=4", "--extra-lsndir=" + lsnDir, "--databases", "sales",
                                "--stream=xbstream", "--compress", "--compress-threads=2"}));
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 1);
}

TEST_F(BackupSide, StartStreamForTheWholeServerHasNoDatabaseOption) {
  FakeTool().Install(toolDir_, "xtrabackup");
  mysqlDetails details = PlainDetails();
  details.sConnectInfo = "";
  const std::string lsnDir = root_ / "lsn";

  MySqlChildProcess host;
  XtraBackupUtil util(false, details, &host, toolDir_);
  util.bFullServerXtrabackup = true;
  ASSERT_FALSE(util.startStream("ignored", 2, lsnDir).IsError());
  EXPECT_EQ(host.Wait(0), 0);

  // Empty connection options and the empty database option leave their
  // blanks; the missing advanced options leave a trailing blank.
  const std::string command = toolDir_ +
                              "/xtrabackup --defaults-file=/etc/mysql/my.cnf --user=backup "
                              "--backup --datadir=/var/lib/mysql  --parallel=2 --extra-lsndir=\"" +
                              lsnDir + "\"  --stream=xbstream ";
  EXPECT_TRUE(LoggedExactly(
      *log_, {
                 {0, sig::kStartStream, "pi.getString failed for sAdvancedXtraBackupOptions"},
                 {0, sig::kStartStream, "found option bFullServerXtrabackup: 1"},
                 {2, sig::kRun, "The command run is : [" + command + "]"},
             }));
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "xtrabackup"),
            (std::vector<std::string>{"--defaults-file=/etc/mysql/my.cnf", "--user=backup",
                                      "--backup", "--datadir=/var/lib/mysql", "--parallel=2",
                                      "--extra-lsndir=" + lsnDir, "--stream=xbstream"}));
}

TEST_F(BackupSide, StartStreamAsksForTarWhenTheObjectStreamsTar) {
  FakeTool().Install(toolDir_, "xtrabackup");
  settings_.SetMySql("sAdvancedXtraBackupOptions", "");
  MySqlChildProcess host;
  XtraBackupUtil util(true, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.startStream("db1", 1, "lsn").IsError());
  EXPECT_EQ(host.Wait(0), 0);
  const std::string command = toolDir_ +
                              "/xtrabackup --defaults-file=/etc/mysql/my.cnf --user=backup "
                              "--backup --datadir=/var/lib/mysql "
                              "--socket=/run/mysqld/mysqld.sock --parallel=1 "
                              "--extra-lsndir=\"lsn\" --databases \"db1\" --stream=tar ";
  // An empty but present setting is no failure.
  EXPECT_TRUE(
      LoggedExactly(*log_, {
                               {0, sig::kStartStream, "found option bFullServerXtrabackup: 0"},
                               {2, sig::kRun, "The command run is : [" + command + "]"},
                           }));
}

// A command line is C text: a NUL would cut a value short ("a" for
// "a\0b;pwned") and the call would go on with another value.
TEST_F(BackupSide, StartStreamAndExtractRefuseEveryValueWithANul) {
  FakeTool().Install(toolDir_, "xtrabackup");
  FakeTool().Install(toolDir_, "xbstream");
  const std::string cut("a\0b;pwned", 9);
  const std::string lsn = root_ / "lsn";
  const std::string target = root_ / "restore";
  enum What { kDatabase, kLsnDir, kToolDir, kDefaults, kUser, kDataDir, kTarget, kExtractTool };
  const struct {
    What what;
    const char* reason;
  } cases[] = {
      {kDatabase, "the database name holds a NUL character"},
      {kLsnDir, "the LSN directory holds a NUL character"},
      {kToolDir, "the tool directory holds a NUL character"},
      {kDefaults, "the defaults file holds a NUL character"},
      {kUser, "the user name holds a NUL character"},
      {kDataDir, "the data directory holds a NUL character"},
      {kTarget, "the target directory holds a NUL character"},
      {kExtractTool, "the tool directory holds a NUL character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    log_->Clear();
    mysqlDetails details = PlainDetails();
    if (c.what == kDefaults) details.sDefaultsFile += cut;
    if (c.what == kUser) details.sUser += cut;
    if (c.what == kDataDir) details.sDataDir += cut;
    const bool toolCut = c.what == kToolDir || c.what == kExtractTool;
    MySqlChildProcess host;
    XtraBackupUtil util(false, details, &host, toolCut ? toolDir_ + cut : toolDir_);
    const bool extract = c.what == kTarget || c.what == kExtractTool;
    const char* signature = extract ? sig::kExtract : sig::kStartStream;
    CKaError result =
        extract ? util.extractXtraBackup(c.what == kTarget ? target + cut : target)
                : util.startStream(c.what == kDatabase ? "sales" + cut : "sales", 1,
                                   c.what == kLsnDir ? lsn + cut : lsn);
    EXPECT_TRUE(IsLibraryFailure(result, signature,
                                 std::string(extract ? "XtraBackupUtil::extractXtraBackup"
                                                     : "XtraBackupUtil::startStream") +
                                     " failed: " + c.reason));
    EXPECT_TRUE(LoggedExactly(
        *log_, {{0, signature, std::string("Nothing was started: ") + c.reason}}));
    EXPECT_EQ(host.GetPid(), -1);
  }
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 0);
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xbstream"), 0);
}

TEST_F(BackupSide, StartStreamWithEmptyDetailsLeavesEmptyValues) {
  FakeTool().Install(toolDir_, "xtrabackup");
  MySqlChildProcess host;
  XtraBackupUtil util(false, mysqlDetails(), &host, toolDir_);
  ASSERT_FALSE(util.startStream("", 0, "").IsError());
  EXPECT_EQ(host.Wait(0), 0);
  const std::string command = toolDir_ +
                              "/xtrabackup --defaults-file= --user= --backup --datadir=  "
                              "--parallel=0 --extra-lsndir=\"\" --databases \"\" "
                              "--stream=xbstream ";
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kRun, "The command run is : [" + command + "]"));
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "xtrabackup"),
            (std::vector<std::string>{"--defaults-file=", "--user=", "--backup",
                                      "--datadir=", "--parallel=0",
                                      "--extra-lsndir=", "--databases", "", "--stream=xbstream"}));
}

TEST_F(BackupSide, StartStreamWritesTheLargestParallelCountUnsigned) {
  FakeTool().Install(toolDir_, "xtrabackup");
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.startStream("db", ULONG_MAX, "l").IsError());
  EXPECT_EQ(host.Wait(0), 0);
  std::vector<std::string> args = FakeTool::LastArgs(toolDir_, "xtrabackup");
  ASSERT_GE(args.size(), 6u);
  EXPECT_EQ(args[5], "--parallel=" + std::to_string(ULONG_MAX));
}

TEST_F(BackupSide, StartStreamReadsTheAdvancedOptionsAnewOnEveryCall) {
  FakeTool().Install(toolDir_, "xtrabackup");
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);

  settings_.SetMySql("sAdvancedXtraBackupOptions", "--first");
  ASSERT_FALSE(util.startStream("db", 1, "l").IsError());
  EXPECT_EQ(host.Wait(0), 0);
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "xtrabackup").back(), "--first");

  settings_.SetMySql("sAdvancedXtraBackupOptions", "--second --third=3");
  ASSERT_FALSE(util.startStream("db", 1, "l").IsError());
  EXPECT_EQ(host.Wait(0), 0);
  std::vector<std::string> args = FakeTool::LastArgs(toolDir_, "xtrabackup");
  ASSERT_GE(args.size(), 2u);
  EXPECT_EQ(args[args.size() - 2], "--second");
  EXPECT_EQ(args.back(), "--third=3");
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 2);
}

TEST_F(BackupSide, StartStreamHandsTheWholeStreamToTheHost) {
  // Megabytes of stream and hundreds of kilobytes of progress text on
  // standard error at once: the host reads the stream, nothing stalls.
  FakeTool tool;
  tool.extraShell = "seq 1 60000 >&2; seq 1 400000; seq 1 60000 >&2";
  tool.Install(toolDir_, "xtrabackup");
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.startStream("db", 4, root_ / "lsn").IsError());
  std::string stream = ReadToEnd(host);
  EXPECT_EQ(host.Wait(0), 0);
  EXPECT_EQ(stream.size(), RunShell("seq 1 400000").size());
  EXPECT_TRUE(stream == RunShell("seq 1 400000"));
}

TEST_F(BackupSide, StartStreamLeavesTheExitStatusToTheHost) {
  FakeTool tool;
  tool.stderrText = "Failed to connect to MariaDB server\n";
  tool.exitStatus = 3;
  tool.Install(toolDir_, "xtrabackup");
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.startStream("db", 1, "l").IsError());
  EXPECT_EQ(host.Wait(0), 3);
  char buffer[256];
  long length = sizeof buffer;
  ASSERT_EQ(host.ReadErrBuf(buffer, &length), 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)),
            "Failed to connect to MariaDB server\n");
}

TEST_F(BackupSide, StartStreamThatCannotStartReportsTheCommand) {
  FakeTool().Install(toolDir_, "xtrabackup");
  mysqlDetails details = PlainDetails();
  details.sLaunchValue1 = root_ / "no-such-dir";
  MySqlChildProcess host;
  XtraBackupUtil util(false, details, &host, toolDir_);
  CKaError result = util.startStream("db", 2, "l");

  const std::string command = toolDir_ +
                              "/xtrabackup --defaults-file=/etc/mysql/my.cnf --user=backup "
                              "--backup --datadir=/var/lib/mysql "
                              "--socket=/run/mysqld/mysqld.sock --parallel=2 "
                              "--extra-lsndir=\"l\" --databases \"db\" --stream=xbstream ";
  EXPECT_TRUE(IsLibraryFailure(result, sig::kStartStream,
                               " Failed to run the command [" + command +
                                   "]. Error = [MySqlChildProcess::ZU_CreateProcess failed]"));
  EXPECT_TRUE(LoggedInOrder(*log_, {
                                       {2, sig::kRun, "The command run is : [" + command + "]"},
                                       {0, sig::kRun, "MySqlChildProcess::ZU_CreateProcess failed"},
                                   }));
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 0);
}

TEST_F(BackupSide, StartStreamWithoutAHostObjectFailsCleanly) {
  FakeTool().Install(toolDir_, "xtrabackup");
  XtraBackupUtil util(false, PlainDetails(), nullptr, toolDir_);
  CKaError result = util.startStream("db", 1, "l");
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.GetFunction(), sig::kStartStream);
  EXPECT_NE(result.AsString().find("Error = [MySqlChildProcess::Initialize failed:]"),
            std::string::npos)
      << result.AsString();
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 0);
}

TEST_F(BackupSide, StartStreamWritesOnlyWhatTheLogLevelAsksFor) {
  FakeTool().Install(toolDir_, "xtrabackup");
  log_->SetLevel(0);
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.startStream("db", 1, "l").IsError());
  EXPECT_EQ(host.Wait(0), 0);
  for (const xbtest::LogEntry& entry : log_->Entries()) EXPECT_LE(entry.level, 0) << entry.text;
  EXPECT_EQ(log_->FindContaining("The command run is").size(), 0u);
  EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kStartStream, "found option bFullServerXtrabackup: 0"));
}

// ----------------------------------------------------------- extractXtraBackup

TEST_F(BackupSide, ExtractRunsTheExtractorOnTheHostAndTakesTheStream) {
  FakeTool tool;
  tool.saveStdin = true;
  tool.Install(toolDir_, "xbstream");
  const std::string target = root_ / "restore";

  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.extractXtraBackup(target).IsError());

  std::string stream;
  for (int i = 0; i < 300000; ++i) stream += static_cast<char>('a' + i % 26);
  stream[1000] = '\0';  // streams are binary
  ASSERT_EQ(host.WriteBuf(stream.data(), static_cast<long>(stream.size())), 0);
  ASSERT_EQ(host.CloseInput(), 0);
  EXPECT_EQ(host.Wait(0), 0);

  const std::string command = toolDir_ + "/xbstream -x -C \"" + target + "\"";
  EXPECT_TRUE(LoggedExactly(*log_, {{2, sig::kRun, "The command run is : [" + command + "]"}}));
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "xbstream"),
            (std::vector<std::string>{"-x", "-C", target}));
  std::string received = ReadFile(toolDir_ + "/xbstream.stdin");
  EXPECT_EQ(received.size(), stream.size());
  EXPECT_TRUE(received == stream);
}

TEST_F(BackupSide, ExtractGivesATargetNamedLikeAnOptionAsAPath) {
  FakeTool().Install(toolDir_, "xbstream");
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.extractXtraBackup("--help").IsError());
  EXPECT_EQ(host.Wait(0), 0);
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "xbstream"),
            (std::vector<std::string>{"-x", "-C", "./--help"}));
}

TEST_F(BackupSide, ExtractOfATarStreamIsRefusedAndStartsNothing) {
  FakeTool().Install(toolDir_, "xbstream");
  MySqlChildProcess host;
  XtraBackupUtil util(true, PlainDetails(), &host, toolDir_);
  CKaError result = util.extractXtraBackup(root_ / "restore");
  EXPECT_TRUE(IsLibraryFailure(result, sig::kExtract, "XtraBackupUtil::extractXtraBackup failed"));
  EXPECT_TRUE(LoggedExactly(*log_, {{2, sig::kExtract, "Tar support is yet to be added"}}));
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xbstream"), 0);
  EXPECT_EQ(host.GetPid(), -1);
  // The host's object is still free for another command.
  ASSERT_EQ(host.Initialize("exit 0", "", ""), 0);
  ASSERT_EQ(host.ZU_CreateProcess(true, false, false, false), 0);
  EXPECT_EQ(host.Wait(0), 0);
}

TEST_F(BackupSide, ExtractThatCannotStartReportsTheCommand) {
  FakeTool().Install(toolDir_, "xbstream");
  mysqlDetails details = PlainDetails();
  details.sLaunchValue1 = root_ / "missing";
  MySqlChildProcess host;
  XtraBackupUtil util(false, details, &host, toolDir_);
  const std::string target = root_ / "restore";
  CKaError result = util.extractXtraBackup(target);
  const std::string command = toolDir_ + "/xbstream -x -C \"" + target + "\"";
  EXPECT_TRUE(IsLibraryFailure(result, sig::kExtract,
                               " Failed to run the command [" + command +
                                   "]. Error = [MySqlChildProcess::ZU_CreateProcess failed]"));
  EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kRun, "MySqlChildProcess::ZU_CreateProcess failed"));
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xbstream"), 0);
}

TEST_F(BackupSide, ExtractLeavesARejectedStreamToTheHost) {
  FakeTool tool;
  tool.saveStdin = true;
  tool.stderrText = "xbstream: incorrect chunk magic\n";
  tool.exitStatus = 1;
  tool.Install(toolDir_, "xbstream");
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  ASSERT_FALSE(util.extractXtraBackup(root_ / "restore").IsError());
  ASSERT_EQ(host.WriteBuf("garbage", 7), 0);
  EXPECT_EQ(host.Wait(0), 1);
}

// ------------------------------------------ hostile values on the command line

class BackupSideHostile : public ::testing::TestWithParam<ops::HostileValue> {
 protected:
  BackupSideHostile() : root_("xbhostile"), outsideCwd_(ops::CurrentDir()), cwd_(root_.path()) {}

  void ExpectNothingInjected() {
    EXPECT_EQ(ops::FindPwned(root_.path()), std::vector<std::string>{});
    EXPECT_FALSE(PathExists(outsideCwd_ + "/PWNED"));
  }

  // A tool directory named after the hostile value, and, for a pattern, a
  // decoy directory its expansion would pick.
  std::string MakeToolDir(const std::string& tool) {
    std::string dir = root_ / ("tools-" + GetParam().text);
    ops::MakeDirs(dir);
    FakeTool().Install(dir, tool);
    if (dir.find('*') != std::string::npos) {
      ops::MakeDirs(ops::DecoyOf(dir));
      FakeTool().Install(ops::DecoyOf(dir), tool);
    }
    return dir;
  }

  void ExpectDecoyToolUnused(const std::string& dir, const std::string& tool) {
    if (dir.find('*') == std::string::npos) return;
    EXPECT_EQ(FakeTool::CallCount(ops::DecoyOf(dir), tool), 0);
  }

  ScopedLogWriter log_;
  ScopedSettings settings_;
  TempDir root_;
  std::string outsideCwd_;
  ops::ScopedCwd cwd_;
};

TEST_P(BackupSideHostile, StartStreamPassesEveryValueAsOneArgument) {
  const std::string& h = GetParam().text;
  settings_.SetMySql("sAdvancedXtraBackupOptions", "--compress");
  const std::string toolDir = MakeToolDir("xtrabackup");

  mysqlDetails details;
  details.sDefaultsFile = root_ / ("cnf-" + h + ".cnf");
  details.sUser = "user-" + h;
  details.sDataDir = root_ / ("data-" + h);
  details.sConnectInfo = root_ / ("sock-" + h);
  const std::string lsnDir = root_ / ("lsn-" + h);
  const std::string database = "db-" + h;

  std::vector<std::string> expected{"--defaults-file=" + details.sDefaultsFile,
                                    "--user=" + details.sUser,
                                    "--backup",
                                    "--datadir=" + details.sDataDir,
                                    "--socket=" + details.sConnectInfo,
                                    "--parallel=3",
                                    "--extra-lsndir=" + lsnDir,
                                    "--databases",
                                    database,
                                    "--stream=xbstream",
                                    "--compress"};
  ops::PlantGlobDecoys(expected);

  MySqlChildProcess host;
  XtraBackupUtil util(false, details, &host, toolDir);
  CKaError result = util.startStream(database, 3, lsnDir);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(host.Wait(0), 0);
  EXPECT_EQ(FakeTool::LastArgs(toolDir, "xtrabackup"), expected);

  util.bFullServerXtrabackup = true;
  result = util.startStream(database, 3, lsnDir);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(host.Wait(0), 0);
  expected.erase(expected.begin() + 7, expected.begin() + 9);
  EXPECT_EQ(FakeTool::LastArgs(toolDir, "xtrabackup"), expected);

  EXPECT_EQ(FakeTool::CallCount(toolDir, "xtrabackup"), 2);
  ExpectDecoyToolUnused(toolDir, "xtrabackup");
  ExpectNothingInjected();
}

TEST_P(BackupSideHostile, StartStreamFailureCarriesTheCommandLiterally) {
  // The failure text embeds the command: a '%' in it must not be read as a
  // format.
  const std::string& h = GetParam().text;
  const std::string toolDir = MakeToolDir("xtrabackup");
  mysqlDetails details;
  details.sUser = "u" + h;
  details.sLaunchValue1 = root_ / "missing";
  MySqlChildProcess host;
  XtraBackupUtil util(false, details, &host, toolDir);
  CKaError result = util.startStream("d" + h, 1, "l" + h);
  ASSERT_TRUE(result.IsError());
  const std::vector<xbtest::LogEntry> logged = log_->FindContaining("The command run is : [");
  ASSERT_EQ(logged.size(), 1u);
  const std::string command = logged[0].text.substr(22, logged[0].text.size() - 23);
  EXPECT_EQ(result.AsString(), " Failed to run the command [" + command +
                                   "]. Error = [MySqlChildProcess::ZU_CreateProcess failed]");
  EXPECT_NE(command.find("u" + h.substr(0, 2)), std::string::npos);
  ExpectNothingInjected();
}

TEST_P(BackupSideHostile, ExtractPassesTheTargetAsOneArgument) {
  const std::string& h = GetParam().text;
  const std::string toolDir = MakeToolDir("xbstream");
  const std::string target = root_ / ("target-" + h);
  ops::PlantGlobDecoys({target});

  MySqlChildProcess host;
  XtraBackupUtil util(false, mysqlDetails(), &host, toolDir);
  ASSERT_FALSE(util.extractXtraBackup(target).IsError());
  ASSERT_EQ(host.CloseInput(), 0);
  EXPECT_EQ(host.Wait(0), 0);
  EXPECT_EQ(FakeTool::LastArgs(toolDir, "xbstream"),
            (std::vector<std::string>{"-x", "-C", target}));
  ExpectDecoyToolUnused(toolDir, "xbstream");
  ExpectNothingInjected();
}

TEST_P(BackupSideHostile, PopulateLogDataReadsFromAnyDirectoryName) {
  const std::string dir = root_ / ("staging-" + GetParam().text);
  ops::MakeDirs(dir);
  WriteFile(dir + "/xtrabackup_binlog_info", "mysql-bin.000042\t777\t\n");
  XtraBackupUtil util;
  long number = -1;
  long position = -1;
  ASSERT_FALSE(util.populateLogData(&number, &position, dir).IsError());
  EXPECT_EQ(number, 42);
  EXPECT_EQ(position, 777);
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kPopulateLogData,
                         "The binLogfile is [" + dir + "/xtrabackup_binlog_info]"));
}

INSTANTIATE_TEST_SUITE_P(Values, BackupSideHostile, ::testing::ValuesIn(ops::HostileValues()),
                         ops::HostileName());

// ------------------------------------------------------------ populateLogData

class LogData : public ::testing::Test {
 protected:
  LogData() : dir_("xblogdata") {}

  void WriteInfo(const std::string& content) {
    WriteFile(dir_ / "xtrabackup_binlog_info", content);
  }
  std::string InfoPath() const { return dir_ / "xtrabackup_binlog_info"; }

  ScopedLogWriter log_;
  TempDir dir_;
  XtraBackupUtil util_;
  long number_ = -7;
  long position_ = -9;
};

TEST_F(LogData, ReadsTheTwoFieldForm) {
  WriteInfo("binlog.000012\t154\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 12);
  EXPECT_EQ(position_, 154);
  const std::string text = "binlog.000012\t154\n";
  EXPECT_TRUE(LoggedExactly(
      *log_, {
                 {2, sig::kPopulateLogData, "The binLogfile is [" + InfoPath() + "]"},
                 {2, sig::kPopulateLogData, "The binary log file data is [" + text + "]"},
                 {2, sig::kPopulateLogData, "The binary log file data is [" + text + "]"},
                 {2, sig::kPopulateLogData, "The binary log data is [binlog.000012] [154\n]"},
                 {2, sig::kPopulateLogData, "The binary log data is [000012]"},
                 {2, sig::kPopulateLogData, "The binary log data is  number wise [12] [154]"},
             }));
}

TEST_F(LogData, ReadsTheThreeFieldFormWithAnEmptyGtid) {
  WriteInfo("mysql-bin.000001\t328\t\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 1);
  EXPECT_EQ(position_, 328);
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kPopulateLogData,
                         "The binary log data is [mysql-bin.000001] [328]"));
}

TEST_F(LogData, ReadsTheThreeFieldFormWithAGtid) {
  WriteInfo("mysql-bin.000001\t1309459\t0-1-21\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 1);
  EXPECT_EQ(position_, 1309459);
}

TEST_F(LogData, ReadsAGtidSetSpanningLines) {
  WriteInfo(
      "mysql-bin.000003\t4242\t3E11FA47-71CA-11E1-9E33-C80AA9429562:1-5,\n"
      "4E11FA47-71CA-11E1-9E33-C80AA9429562:1-9\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 3);
  EXPECT_EQ(position_, 4242);
}

TEST_F(LogData, KeepsPositionsPastTwoToTheThirtyFirst) {
  WriteInfo("mysql-bin.000007\t3000000000\t0-1-99\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 7);
  EXPECT_EQ(position_, 3000000000L);
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kPopulateLogData,
                         "The binary log data is  number wise [7] [3000000000]"));
}

TEST_F(LogData, KeepsLargeFileNumbers) {
  WriteInfo("mysql-bin.3000000001\t4\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 3000000001L);
  EXPECT_EQ(position_, 4);
}

TEST_F(LogData, TakesThePieceAfterTheFirstDotOfTheName) {
  WriteInfo("my.log.000003\t120\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 0);
  EXPECT_EQ(position_, 120);
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kPopulateLogData, "The binary log data is [log]"));
}

TEST_F(LogData, AcceptsATrailingSlashOnTheDirectory) {
  WriteInfo("binlog.000002\t99\n");
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path() + "/").IsError());
  EXPECT_EQ(number_, 2);
  EXPECT_EQ(position_, 99);
  EXPECT_TRUE(
      LoggedOnce(*log_, 2, sig::kPopulateLogData, "The binLogfile is [" + InfoPath() + "]"));
}

TEST_F(LogData, ReadsOnlyTheFirst2046BytesOfALongFile) {
  std::string gtid;
  while (gtid.size() < 5000) gtid += "0-1-" + std::to_string(gtid.size()) + ",";
  const std::string content = "mysql-bin.000005\t65536\t" + gtid + "\n";
  WriteInfo(content);
  ASSERT_FALSE(util_.populateLogData(&number_, &position_, dir_.path()).IsError());
  EXPECT_EQ(number_, 5);
  EXPECT_EQ(position_, 65536);
  const std::string head = content.substr(0, 2046);
  EXPECT_EQ(log_->Find("The binary log file data is [" + head + "]").size(), 2u);
}

TEST_F(LogData, AnEmptyDirectoryNameFails) {
  CKaError result = util_.populateLogData(&number_, &position_, "");
  EXPECT_TRUE(
      IsLibraryFailure(result, sig::kPopulateLogData, "XtraBackupUtil::populateLogData failed"));
  EXPECT_TRUE(LoggedExactly(*log_, {{0, sig::kPopulateLogData, "staging directory is empty"}}));
  EXPECT_EQ(number_, -7);
  EXPECT_EQ(position_, -9);
}

TEST_F(LogData, AFifoOrADeviceFailsAtTheOpenWithoutWaiting) {
  const std::string fifo = dir_ / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& special : {fifo, std::string("/dev/zero")}) {
    ASSERT_EQ(::symlink(special.c_str(), InfoPath().c_str()), 0);
    log_->Clear();
    CKaError result;
    EXPECT_TRUE(xbtest::ReturnsWithin(std::chrono::seconds(5), fifo, [&] {
      result = util_.populateLogData(&number_, &position_, dir_.path());
    })) << special;
    EXPECT_TRUE(IsLibraryFailure(result, sig::kPopulateLogData,
                                 " XtraBackupUtil::populateLogData failed"));
    EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kPopulateLogData,
                           "Failed to open the file [" + InfoPath() + "]"));
    EXPECT_EQ(number_, -7);
    EXPECT_EQ(position_, -9);
    ASSERT_EQ(::unlink(InfoPath().c_str()), 0);
  }
}

TEST_F(LogData, AMissingFileFailsNamingItsPath) {
  CKaError result = util_.populateLogData(&number_, &position_, dir_.path());
  EXPECT_TRUE(
      IsLibraryFailure(result, sig::kPopulateLogData, " XtraBackupUtil::populateLogData failed"));
  EXPECT_TRUE(LoggedInOrder(
      *log_, {
                 {2, sig::kPopulateLogData, "The binLogfile is [" + InfoPath() + "]"},
                 {0, sig::kPopulateLogData, "Failed to open the file [" + InfoPath() + "]"},
             }));
  EXPECT_EQ(number_, -7);
  EXPECT_EQ(position_, -9);
}

TEST_F(LogData, MalformedContentFailsAndChangesNothing) {
  const char* const malformed[] = {"",                     // empty file
                                   "binlog.000012 154\n",  // no tab
                                   "binlog000012\t154\n",  // no dot in the name
                                   "\n",                   // a blank line
                                   "binlog.000012\n"};     // no position
  for (const char* content : malformed) {
    SCOPED_TRACE(::testing::PrintToString(std::string(content)));
    log_->Clear();
    WriteInfo(content);
    CKaError result = util_.populateLogData(&number_, &position_, dir_.path());
    EXPECT_TRUE(
        IsLibraryFailure(result, sig::kPopulateLogData, " XtraBackupUtil::populateLogData failed"));
    EXPECT_EQ(number_, -7);
    EXPECT_EQ(position_, -9);
    EXPECT_EQ(log_->FindContaining("number wise").size(), 0u);
  }
}

TEST_F(LogData, ADirectoryInPlaceOfTheFileFails) {
  ops::MakeDirs(InfoPath());
  CKaError result = util_.populateLogData(&number_, &position_, dir_.path());
  EXPECT_TRUE(result.IsError());
  EXPECT_EQ(result.GetFunction(), sig::kPopulateLogData);
  EXPECT_EQ(number_, -7);
  EXPECT_EQ(position_, -9);
}

// ---------------------------------------------------- getSchemaDataForXtrabackup

TEST_F(BackupSide, SchemaDumpAppendsItsOutput) {
  FakeTool dump;
  dump.stdoutText = "CREATE TABLE `t` (\n  `a` int(11) NOT NULL\n);\n";
  dump.Install(toolDir_, "dump");
  std::string output = "-- already here\n";
  XtraBackupUtil util;
  const std::string command = toolDir_ + "/dump --no-data --databases 'my db'";
  CKaError result = util.getSchemaDataForXtrabackup(command, output);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(output, "-- already here\n" + dump.stdoutText);
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "dump"),
            (std::vector<std::string>{"--no-data", "--databases", "my db"}));
  EXPECT_TRUE(
      LoggedInOrder(*log_, {
                               {2, sig::kRun, "The command run is : [" + command + "]"},
                               {0, sig::kRun, "ndebugXtraBackup is not set. Defaulting to 0"},
                           }));
  EXPECT_EQ(log_->FindContaining("mysqldump command failed").size(), 0u);
}

TEST_F(BackupSide, SchemaDumpKeepsALargeOutputWhole) {
  FakeTool dump;
  dump.extraShell = "seq 1 50000 >&2; seq 1 100000; seq 1 50000 >&2";
  dump.Install(toolDir_, "dump");
  std::string output;
  XtraBackupUtil util;
  log_->SetLevel(2);  // leave out the per-read messages
  ASSERT_FALSE(util.getSchemaDataForXtrabackup(toolDir_ + "/dump", output).IsError());
  const std::string expected = RunShell("seq 1 100000");
  EXPECT_EQ(output.size(), expected.size());
  EXPECT_TRUE(output == expected);
}

TEST_F(BackupSide, SchemaDumpKeepsOutputsPastTheFirstMegabyteWholeAndInOrder) {
  // Just past the first part (moved into a string of its own size at the
  // end), and one long enough to keep the room it was given.
  for (const char* last : {"170000", "3000000"}) {
    SCOPED_TRACE(last);
    FakeTool dump;
    dump.extraShell = std::string("seq 1 ") + last;
    dump.Install(toolDir_, "dump");
    std::string output = "-- already here\n";
    XtraBackupUtil util;
    log_->SetLevel(2);  // leave out the per-read messages
    ASSERT_FALSE(util.getSchemaDataForXtrabackup(toolDir_ + "/dump", output).IsError());
    const std::string expected = "-- already here\n" + RunShell(std::string("seq 1 ") + last);
    EXPECT_EQ(output.size(), expected.size());
    EXPECT_TRUE(output == expected);
    if (output.size() < 16 * 1024 * 1024) {
      EXPECT_LE(output.capacity(), 2 * output.size());
    }
  }
}

TEST_F(BackupSide, SchemaDumpFailureCarriesTheToolsTextLiterally) {
  FakeTool dump;
  dump.stderrText = "oops 100%s %d\n";
  dump.exitStatus = 2;
  dump.Install(toolDir_, "dump");
  std::string output;
  XtraBackupUtil util;
  CKaError result = util.getSchemaDataForXtrabackup(toolDir_ + "/dump", output);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kSchema, "[oops 100%s %d\n]"));
  EXPECT_TRUE(LoggedOnce(*log_, -1, sig::kSchema,
                         "mysqldump command failed with error [[oops 100%s %d\n]]"));
  EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kRun, "Wait For Child Process failed"));
}

TEST_F(BackupSide, SchemaDumpFailureKeepsTheEndOfALongErrorText) {
  // Tools print their reason last: the end of standard error is what counts.
  FakeTool dump;
  dump.extraShell = "seq 1 20000 >&2; echo 'Got error: 1049: Unknown database' >&2";
  dump.exitStatus = 2;
  dump.Install(toolDir_, "dump");
  std::string output;
  XtraBackupUtil util;
  CKaError result = util.getSchemaDataForXtrabackup(toolDir_ + "/dump", output);
  ASSERT_TRUE(result.IsError());
  const std::string all = RunShell("seq 1 20000; echo 'Got error: 1049: Unknown database'");
  EXPECT_EQ(result.AsString(), "[" + all.substr(all.size() - 4094) + "]");
}

TEST_F(BackupSide, SchemaDumpOfAMissingProgramFailsWithTheShellsText) {
  std::string output;
  XtraBackupUtil util;
  CKaError result = util.getSchemaDataForXtrabackup(root_ / "no-such-dump", output);
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.GetFunction(), sig::kSchema);
  EXPECT_NE(result.AsString().find("no-such-dump"), std::string::npos) << result.AsString();
  EXPECT_EQ(output, "");
}

TEST_F(BackupSide, SchemaDumpLogsTheToolsErrorTextWhenDebugging) {
  FakeTool dump;
  dump.stdoutText = "CREATE DATABASE x;\n";
  dump.stderrText = "Warning: something\n";
  dump.Install(toolDir_, "dump");
  settings_.SetMySql("ndebugXtraBackup", "1");
  std::string output;
  XtraBackupUtil util;
  ASSERT_FALSE(util.getSchemaDataForXtrabackup(toolDir_ + "/dump", output).IsError());
  EXPECT_EQ(output, "CREATE DATABASE x;\n");
  EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kRun, " STDERR [Warning: something\n]"));
  EXPECT_EQ(log_->Find("ndebugXtraBackup is not set. Defaulting to 0").size(), 0u);
}

TEST_F(BackupSide, SchemaDumpRunsOnItsOwnChildNotTheHosts) {
  FakeTool dump;
  dump.stdoutText = "schema";
  dump.Install(toolDir_, "dump");
  FakeTool().Install(toolDir_, "xtrabackup");
  MySqlChildProcess host;
  XtraBackupUtil util(false, PlainDetails(), &host, toolDir_);
  // The host's backup is running and not yet waited for.
  ASSERT_FALSE(util.startStream("db", 1, "l").IsError());
  std::string output;
  ASSERT_FALSE(util.getSchemaDataForXtrabackup(toolDir_ + "/dump", output).IsError());
  EXPECT_EQ(output, "schema");
  EXPECT_EQ(host.Wait(0), 0);
}

}  // namespace
