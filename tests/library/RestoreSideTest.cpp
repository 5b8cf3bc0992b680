// The restore side of the utility: preparing an extracted backup, copying one
// database's InnoDB files into a data directory, and giving restored files
// the data directory's owner and mode. Tools are fake scripts; cp, chmod and
// chown are the real commands, or recording stand-ins put first in PATH.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "OperationTestSupport.h"
#include "harness/Harness.h"

namespace {

using xbtest::FakeTool;
using xbtest::PathExists;
using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::ScopedLogWriter;
using xbtest::ScopedSettings;
using xbtest::TempDir;
using xbtest::WriteFile;
using xbtest::ops::IsLibraryFailure;
using xbtest::ops::LoggedExactly;
using xbtest::ops::LoggedInOrder;
using xbtest::ops::LoggedOnce;
using XtraBackup::mysqlDetails;
using XtraBackup::MySQLMetaData;
using XtraBackup::XtraBackupUtil;
using XtraBackup::XtraMetaData;
namespace sig = xbtest::sig;
namespace ops = xbtest::ops;

struct Account {
  bool found = false;
  uid_t uid = 0;
  gid_t gid = 0;
};

// The system's "mysql" account.
Account MysqlAccount() {
  Account account;
  struct passwd* entry = ::getpwnam("mysql");
  if (entry != nullptr) {
    account.found = true;
    account.uid = entry->pw_uid;
    account.gid = entry->pw_gid;
  }
  return account;
}

// The account name of the user running the tests (who owns the files they
// create).
std::string SelfName() {
  const struct passwd* entry = ::getpwuid(::geteuid());
  return entry != nullptr ? entry->pw_name : std::to_string(::geteuid());
}

bool HasPasswdEntry(uid_t uid) { return ::getpwuid(uid) != nullptr; }

void WriteFileWithMode(const std::string& path, const std::string& content, int mode) {
  WriteFile(path, content);
  ::chmod(path.c_str(), static_cast<mode_t>(mode));
}

// Every path of the tree has this owner, group and mode.
::testing::AssertionResult TreeHas(const std::string& root, uid_t uid, gid_t gid, int mode) {
  for (const std::string& path : ops::TreeOf(root)) {
    if (ops::OwnerOf(path) != uid || ops::GroupOf(path) != gid || ops::ModeOf(path) != mode) {
      return ::testing::AssertionFailure()
             << path << ": owner " << ops::OwnerOf(path) << " group " << ops::GroupOf(path)
             << " mode " << std::oct << ops::ModeOf(path) << "; wanted " << std::dec << uid << " "
             << gid << " " << std::oct << mode;
    }
  }
  return ::testing::AssertionSuccess();
}

class RestoreSide : public ::testing::Test {
 protected:
  RestoreSide() : root_("xbrestore"), toolDir_(root_ / "tools"), fakeBin_(root_ / "fakebin") {
    ops::MakeDirs(toolDir_);
    ops::MakeDirs(fakeBin_);
  }

  // A directory of files as an extracted backup leaves them, modes 0600/0700.
  std::string MakeTarget(const std::string& name) {
    std::string target = root_ / name;
    ops::MakeDirs(target + "/db1");
    ::chmod(target.c_str(), 0700);
    ::chmod((target + "/db1").c_str(), 0700);
    WriteFileWithMode(target + "/xtrabackup_checkpoints", "backup_type = full-backuped\n", 0600);
    WriteFileWithMode(target + "/db1/t1.ibd", "ibd", 0600);
    return target;
  }

  std::string realCp_ = ops::Which("cp");
  std::string realChmod_ = ops::Which("chmod");
  std::string realChown_ = ops::Which("chown");
  ScopedLogWriter log_;
  ScopedSettings settings_;
  TempDir root_;
  std::string toolDir_;
  std::string fakeBin_;
};

// -------------------------------------------------------------------- prepare

TEST_F(RestoreSide, PrepareOfOneDatabaseExports) {
  FakeTool().Install(toolDir_, "xtrabackup");
  const std::string target = MakeTarget("backup");
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.prepare(target);
  ASSERT_FALSE(result.IsError()) << result.AsString();

  const std::string command =
      toolDir_ + "/xtrabackup --prepare --export --target-dir=\"" + target + "\" ";
  EXPECT_TRUE(LoggedExactly(
      *log_, {
                 {0, sig::kPrepare, "The command is [chmod -R 0770 \"" + target + "\"]"},
                 {0, sig::kPrepare, "pi.getString failed for sAdvancedXtraPrepareOptions"},
                 {0, sig::kPrepare, "found option bFullServerXtrabackup: 0"},
                 {2, sig::kPrepare, "The command is [" + command + "]"},
                 {2, sig::kRun, "The command run is : [" + command + "]"},
                 {0, sig::kRun, "ndebugXtraBackup is not set. Defaulting to 0"},
             }));
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "xtrabackup"),
            (std::vector<std::string>{"--prepare", "--export", "--target-dir=" + target}));
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 1);
  EXPECT_TRUE(TreeHas(target, ops::OwnerOf(target), ops::GroupOf(target), 0770));
}

TEST_F(RestoreSide, PrepareOfTheWholeServerGivesTheFilesToMysql) {
  const Account mysql = MysqlAccount();
  if (!ops::IsRoot() || !mysql.found) GTEST_SKIP() << "needs root and a mysql account";
  FakeTool().Install(toolDir_, "xtrabackup");
  settings_.SetMySql("sAdvancedXtraPrepareOptions", "--use-memory=64M");
  const std::string target = MakeTarget("backup");
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  util.bFullServerXtrabackup = true;
  ASSERT_FALSE(util.prepare(target).IsError());

  const std::string command =
      toolDir_ + "/xtrabackup --prepare  --target-dir=\"" + target + "\" --use-memory=64M";
  EXPECT_TRUE(LoggedExactly(
      *log_, {
                 {0, sig::kPrepare, "The command is [chmod -R 0770 \"" + target + "\"]"},
                 {0, sig::kPrepare, "found option bFullServerXtrabackup: 1"},
                 {2, sig::kPrepare, "The command is [" + command + "]"},
                 {2, sig::kRun, "The command run is : [" + command + "]"},
                 {0, sig::kRun, "ndebugXtraBackup is not set. Defaulting to 0"},
                 {0, sig::kPrepare, "The command is [chown -R mysql:mysql \"" + target + "\"]"},
             }));
  EXPECT_EQ(FakeTool::LastArgs(toolDir_, "xtrabackup"),
            (std::vector<std::string>{"--prepare", "--target-dir=" + target, "--use-memory=64M"}));
  const struct group* mysqlGroup = ::getgrnam("mysql");
  ASSERT_NE(mysqlGroup, nullptr);
  EXPECT_TRUE(TreeHas(target, mysql.uid, mysqlGroup->gr_gid, 0770));
}

TEST_F(RestoreSide, PrepareWithEmptyOptionsEndsInABlank) {
  FakeTool().Install(toolDir_, "xtrabackup");
  settings_.SetMySql("sAdvancedXtraPrepareOptions", "");
  const std::string target = MakeTarget("backup");
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  ASSERT_FALSE(util.prepare(target).IsError());
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kPrepare,
                         "The command is [" + toolDir_ +
                             "/xtrabackup --prepare --export --target-dir=\"" + target + "\" ]"));
  EXPECT_EQ(log_->FindContaining("pi.getString failed").size(), 0u);
}

TEST_F(RestoreSide, PrepareOfAMissingDirectoryStopsBeforeTheTool) {
  FakeTool().Install(toolDir_, "xtrabackup");
  const std::string target = root_ / "missing";
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.prepare(target);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kPrepare, "XtraBackupUtil::prepare failed"));
  EXPECT_TRUE(LoggedExactly(
      *log_, {
                 {0, sig::kPrepare, "The command is [chmod -R 0770 \"" + target + "\"]"},
                 {0, sig::kPrepare, "Failed to change the mode of [" + target + "] directory"},
             }));
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 0);
}

TEST_F(RestoreSide, PrepareFailureCarriesTheToolsErrorText) {
  FakeTool tool;
  tool.stderrText = "boom\n";
  tool.exitStatus = 1;
  tool.Install(toolDir_, "xtrabackup");
  FakeTool().Install(fakeBin_, "chown");
  ops::ScopedPathFirst path(fakeBin_);
  const std::string target = MakeTarget("backup");

  for (bool fullServer : {false, true}) {
    SCOPED_TRACE(fullServer);
    log_->Clear();
    XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
    util.bFullServerXtrabackup = fullServer;
    CKaError result = util.prepare(target);
    const std::string command = toolDir_ + "/xtrabackup --prepare " +
                                (fullServer ? "" : "--export") + " --target-dir=\"" + target +
                                "\" ";
    EXPECT_TRUE(IsLibraryFailure(
        result, sig::kPrepare, " Failed to run the command [" + command + "]. Error = [[boom\n]]"));
    EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kRun, "Wait For Child Process failed"));
    EXPECT_EQ(log_->FindContaining("chown").size(), 0u);
  }
  // The owner change never ran.
  EXPECT_EQ(FakeTool::CallCount(fakeBin_, "chown"), 0);
}

TEST_F(RestoreSide, PrepareOfAChattyToolNeitherStallsNorLosesTheReason) {
  // Far more output than a pipe holds, on both streams, then a failure whose
  // reason comes last.
  FakeTool tool;
  tool.extraShell = "seq 1 100000; seq 1 60000 >&2; echo 'Error: cannot read redo log header' >&2";
  tool.exitStatus = 1;
  tool.Install(toolDir_, "xtrabackup");
  const std::string target = MakeTarget("backup");
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.prepare(target);
  ASSERT_TRUE(result.IsError());
  const std::string all = RunShell("seq 1 60000; echo 'Error: cannot read redo log header'");
  const std::string command =
      toolDir_ + "/xtrabackup --prepare --export --target-dir=\"" + target + "\" ";
  EXPECT_TRUE(IsLibraryFailure(result, sig::kPrepare,
                               " Failed to run the command [" + command + "]. Error = [[" +
                                   all.substr(all.size() - 4094) + "]]"));

  // The same tool succeeding: prepare completes.
  tool.exitStatus = 0;
  tool.Install(toolDir_, "xtrabackup");
  EXPECT_FALSE(util.prepare(target).IsError());
}

TEST_F(RestoreSide, PrepareReportsAFailedOwnerChange) {
  FakeTool().Install(toolDir_, "xtrabackup");
  FakeTool chown;
  chown.stderrText = "chown: invalid user\n";
  chown.exitStatus = 1;
  chown.Install(fakeBin_, "chown");
  ops::ScopedPathFirst path(fakeBin_);
  const std::string target = MakeTarget("backup");
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  util.bFullServerXtrabackup = true;
  CKaError result = util.prepare(target);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kPrepare, "XtraBackupUtil::prepare failed"));
  EXPECT_TRUE(LoggedInOrder(
      *log_, {
                 {0, sig::kPrepare, "The command is [chown -R mysql:mysql \"" + target + "\"]"},
                 {0, sig::kPrepare, "Failed to change the ownership of [" + target + "] directory"},
             }));
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chown"),
            (std::vector<std::string>{"-R", "mysql:mysql", target}));
}

TEST_F(RestoreSide, PrepareLeavesTheHostsChildAlone) {
  FakeTool().Install(toolDir_, "xtrabackup");
  LibMySqlProcess::MySqlChildProcess host;
  XtraBackupUtil util(false, mysqlDetails(), &host, toolDir_);
  ASSERT_FALSE(util.prepare(MakeTarget("backup")).IsError());
  EXPECT_EQ(host.GetPid(), -1);
  ASSERT_EQ(host.Initialize("exit 4", "", ""), 0);
  ASSERT_EQ(host.ZU_CreateProcess(true, false, false, false), 0);
  EXPECT_EQ(host.Wait(0), 4);
}

// -------------------------------------------------- convertSpecialCharsToHexChars

TEST_F(RestoreSide, ConvertGivesTheOnDiskNameAndLogsBothForms) {
  const std::pair<std::string, std::string> names[] = {
      {"plain_Name09", "plain_Name09"},
      {"my-db", "my@002ddb"},
      {"with space", "with@0020space"},
      {"M\xc3\xbcller", "M@1oller"},
      {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e", "@65e5@672c@8a9e"},
  };
  XtraBackupUtil util;
  for (const auto& name : names) {
    log_->Clear();
    std::string encoded = "previous";
    util.convertSpecialCharsToHexChars(name.first, encoded);
    EXPECT_EQ(encoded, name.second);
    EXPECT_TRUE(LoggedExactly(*log_, {
                                         {5, sig::kConvert, "Trying to convert: " + name.first},
                                         {5, sig::kConvert, "Converted db name: " + name.second},
                                     }));
  }
  log_->Clear();
  log_->SetLevel(4);
  std::string encoded;
  util.convertSpecialCharsToHexChars("a-b", encoded);
  EXPECT_EQ(encoded, "a@002db");
  EXPECT_TRUE(log_->Entries().empty());
}

// ------------------------------------------------------------------ applyBack

MySQLMetaData Table(const std::string& name, const std::string& engine, bool partitioned = false,
                    bool skip = false) {
  MySQLMetaData table;
  table.sTableName = name;
  table.sEngine = engine;
  table.bPartitioned = partitioned;
  table.bSkip = skip;
  return table;
}

class ApplyBack : public RestoreSide {
 protected:
  // staging/ENC and datadir/{mysql,ENC} for database "my-db".
  void Layout(const std::string& staging, const std::string& datadir) {
    source_ = staging + "/my@002ddb";
    dest_ = datadir + "/my@002ddb";
    ops::MakeDirs(source_);
    ops::MakeDirs(dest_);
    ops::MakeDirs(datadir + "/mysql");
    WriteFileWithMode(dest_ + "/t@002d1.frm", "frm", 0640);
  }

  void Source(const std::string& file) {
    WriteFileWithMode(source_ + "/" + file, "data of " + file, 0640);
  }

  std::string source_;
  std::string dest_;
};

TEST_F(ApplyBack, CopiesTheListedInnoDBFilesAndFixesOwnerAndMode) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  for (const char* file :
       {"t@002d1.ibd", "t@002d1.cfg", "t2.ibd", "p#P#p0.ibd", "p#P#p0.cfg", "p#P#p1.ibd",
        "p#P#p1.cfg", "pq.ibd", "pq.cfg", "s#P#p0#SP#p0sp0.ibd", "s#P#p0#SP#p0sp0.cfg", "m.MYD",
        "m.MYI", "skipped.ibd", "skipped.cfg", "lower.ibd", "lower.cfg", "myisam.ibd"}) {
    Source(file);
  }
  XtraMetaData meta;
  meta.tableList = {Table("t-1", "InnoDB"),
                    Table("t2", "InnoDB"),
                    Table("p", "InnoDB", true),
                    Table("s", "InnoDB", true),
                    Table("m", "MyISAM"),
                    Table("myisam", "MyISAM"),
                    Table("skipped", "InnoDB", false, true),
                    Table("lower", "innodb")};

  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.applyBack("my-db", staging, datadir, meta);
  ASSERT_FALSE(result.IsError()) << result.AsString();

  const std::string q = "\"" + dest_ + "/\"]";
  EXPECT_TRUE(LoggedInOrder(
      *log_,
      {
          {5, sig::kConvert, "Trying to convert: my-db"},
          {5, sig::kConvert, "Converted db name: my@002ddb"},
          {2, sig::kApplyBack, "[" + source_ + "] --> [" + dest_ + "]"},
          {5, sig::kConvert, "Trying to convert: t-1"},
          {5, sig::kConvert, "Converted db name: t@002d1"},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/t@002d1.ibd " + q},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/t@002d1.cfg " + q},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/t2.ibd " + q},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/t2.cfg " + q},
          {0, sig::kApplyBack, "Could not copy " + source_ + "/t2.cfg file to " + dest_ + "."},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/p#*.ibd " + q},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/p#*.cfg " + q},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/s#*.ibd " + q},
          {2, sig::kApplyBack, "Command is [cp " + source_ + "/s#*.cfg " + q},
          {2, sig::kChangeOwner, "The command is [chown -R " + SelfName() + ": \"" + dest_ + "\"]"},
          {2, sig::kChangeOwner, "The command is [chmod -R 0770 \"" + dest_ + "\"]"},
      }));
  EXPECT_EQ(log_->FindContaining("Command is [cp").size(), 8u);
  EXPECT_EQ(log_->FindContaining("skipped").size(), 0u);
  EXPECT_EQ(log_->FindContaining("lower").size(), 0u);
  EXPECT_EQ(log_->FindContaining("/m.").size(), 0u);

  for (const char* file :
       {"t@002d1.ibd", "t@002d1.cfg", "t2.ibd", "p#P#p0.ibd", "p#P#p0.cfg", "p#P#p1.ibd",
        "p#P#p1.cfg", "s#P#p0#SP#p0sp0.ibd", "s#P#p0#SP#p0sp0.cfg"}) {
    EXPECT_EQ(ReadFile(dest_ + "/" + file), std::string("data of ") + file) << file;
  }
  for (const char* file : {"t2.cfg", "pq.ibd", "pq.cfg", "m.MYD", "m.MYI", "myisam.ibd",
                           "skipped.ibd", "skipped.cfg", "lower.ibd", "lower.cfg"}) {
    EXPECT_FALSE(PathExists(dest_ + "/" + file)) << file;
  }
  EXPECT_EQ(ReadFile(dest_ + "/t@002d1.frm"), "frm");
  EXPECT_TRUE(TreeHas(dest_, ops::OwnerOf(datadir + "/mysql"), ops::GroupOf(dest_), 0770));
}

TEST_F(ApplyBack, GivesTheFilesTheOwnerOfTheMysqlDirectory) {
  const Account mysql = MysqlAccount();
  if (!ops::IsRoot() || !mysql.found) GTEST_SKIP() << "needs root and a mysql account";
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  Source("t1.ibd");
  Source("t1.cfg");
  ASSERT_EQ(::chown((datadir + "/mysql").c_str(), mysql.uid, mysql.gid), 0);
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB")};
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  ASSERT_FALSE(util.applyBack("my-db", staging, datadir, meta).IsError());
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kChangeOwner,
                         "The command is [chown -R mysql: \"" + dest_ + "\"]"));
  EXPECT_TRUE(TreeHas(dest_, mysql.uid, mysql.gid, 0770));
  EXPECT_EQ(ReadFile(dest_ + "/t1.ibd"), "data of t1.ibd");
}

TEST_F(ApplyBack, JoinsDirectoriesWithOneSeparator) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  Source("t1.ibd");
  Source("t1.cfg");
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB")};
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  ASSERT_FALSE(util.applyBack("my-db", staging + "/", datadir + "//", meta).IsError());
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kApplyBack, "[" + source_ + "] --> [" + dest_ + "]"));
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kApplyBack,
                         "Command is [cp " + source_ + "/t1.ibd \"" + dest_ + "/\"]"));
  EXPECT_TRUE(
      LoggedOnce(*log_, 2, sig::kChangeOwner, "The command is [chmod -R 0770 \"" + dest_ + "\"]"));
  EXPECT_EQ(ReadFile(dest_ + "/t1.cfg"), "data of t1.cfg");
}

TEST_F(ApplyBack, StopsAtTheFirstMissingTablespace) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  for (const char* file : {"a.ibd", "a.cfg", "c.ibd", "c.cfg"}) Source(file);
  XtraMetaData meta;
  meta.tableList = {Table("a", "InnoDB"), Table("b", "InnoDB"), Table("c", "InnoDB")};
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.applyBack("my-db", staging, datadir, meta);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kApplyBack, "XtraBackupUtil::applyBack failed"));
  EXPECT_TRUE(LoggedInOrder(
      *log_, {
                 {2, sig::kApplyBack, "Command is [cp " + source_ + "/b.ibd \"" + dest_ + "/\"]"},
                 {0, sig::kApplyBack, "Failed to copy .ibd file"},
             }));
  EXPECT_EQ(log_->FindContaining("b.cfg").size(), 0u);
  EXPECT_EQ(log_->FindContaining("c.ibd").size(), 0u);
  EXPECT_EQ(log_->FindContaining("The command is").size(), 0u);
  EXPECT_TRUE(PathExists(dest_ + "/a.ibd"));
  EXPECT_FALSE(PathExists(dest_ + "/c.ibd"));
  // No owner or mode change happened.
  EXPECT_EQ(ops::ModeOf(dest_ + "/a.ibd"), 0640);
  EXPECT_EQ(ops::ModeOf(dest_ + "/t@002d1.frm"), 0640);
}

TEST_F(ApplyBack, APartitionedTableWithoutPartitionFilesFails) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  Source("p.ibd");  // not a partition file
  XtraMetaData meta;
  meta.tableList = {Table("p", "InnoDB", true)};
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  EXPECT_TRUE(IsLibraryFailure(util.applyBack("my-db", staging, datadir, meta), sig::kApplyBack,
                               "XtraBackupUtil::applyBack failed"));
  EXPECT_FALSE(PathExists(dest_ + "/p.ibd"));
}

TEST_F(ApplyBack, AnEmptyListOnlyFixesOwnerAndMode) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  ASSERT_FALSE(util.applyBack("my-db", staging, datadir, XtraMetaData()).IsError());
  EXPECT_EQ(log_->FindContaining("Command is [cp").size(), 0u);
  EXPECT_EQ(ops::ModeOf(dest_ + "/t@002d1.frm"), 0770);
}

TEST_F(ApplyBack, ADataDirectoryWithoutMysqlFailsAfterCopying) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  ASSERT_EQ(::rmdir((datadir + "/mysql").c_str()), 0);
  Source("t1.ibd");
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB")};
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.applyBack("my-db", staging, datadir, meta);
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.GetKind(), CKaError::Kind::Win32);
  EXPECT_EQ(result.GetFunction(), sig::kChangeOwner);
  EXPECT_EQ(result.AsString(), "stat[" + datadir + "/mysql]:error 2");
  EXPECT_TRUE(PathExists(dest_ + "/t1.ibd"));
}

// ----------------------------------------------------------- ChangeDBDirOwner

class OwnerChange : public RestoreSide {
 protected:
  OwnerChange() : datadir_(root_ / "data"), target_(root_ / "data/db1") {
    ops::MakeDirs(datadir_ + "/mysql");
    ops::MakeDirs(target_ + "/sub");
    WriteFileWithMode(target_ + "/t1.ibd", "ibd", 0600);
    WriteFileWithMode(target_ + "/sub/f", "f", 0644);
  }

  std::string datadir_;
  std::string target_;
};

TEST_F(OwnerChange, AMissingMysqlDirectoryIsASystemError) {
  ASSERT_EQ(::rmdir((datadir_ + "/mysql").c_str()), 0);
  XtraBackupUtil util;
  CKaError result = util.ChangeDBDirOwner(datadir_, target_);
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.GetKind(), CKaError::Kind::Win32);
  EXPECT_EQ(result.GetCode(), 1627u);
  EXPECT_EQ(result.GetFile(), "XtraBackupUtil");
  EXPECT_EQ(result.GetFunction(), sig::kChangeOwner);
  EXPECT_EQ(result.AsString(), "stat[" + datadir_ + "/mysql]:error 2");
  EXPECT_TRUE(log_->Entries().empty());
  EXPECT_EQ(ops::ModeOf(target_ + "/t1.ibd"), 0600);

  // A data directory that is a file: ENOTDIR.
  const std::string file = root_ / "plainfile";
  WriteFile(file, "x");
  result = util.ChangeDBDirOwner(file, target_);
  EXPECT_EQ(result.AsString(), "stat[" + file + "/mysql]:error 20");
  EXPECT_TRUE(log_->Entries().empty());
}

TEST_F(OwnerChange, UsesTheOwnersNameWhenItHasOne) {
  const Account mysql = MysqlAccount();
  if (!ops::IsRoot() || !mysql.found) GTEST_SKIP() << "needs root and a mysql account";
  ASSERT_EQ(::chown((datadir_ + "/mysql").c_str(), mysql.uid, 0), 0);
  XtraBackupUtil util;
  ASSERT_FALSE(util.ChangeDBDirOwner(datadir_, target_).IsError());
  EXPECT_TRUE(LoggedExactly(
      *log_, {
                 {2, sig::kChangeOwner, "The command is [chown -R mysql: \"" + target_ + "\"]"},
                 {2, sig::kChangeOwner, "The command is [chmod -R 0770 \"" + target_ + "\"]"},
             }));
  // "NAME:" gives the account's login group.
  EXPECT_TRUE(TreeHas(target_, mysql.uid, mysql.gid, 0770));
}

TEST_F(OwnerChange, UsesTheNumbersOfAnOwnerWithoutName) {
  if (!ops::IsRoot()) GTEST_SKIP() << "needs root";
  if (HasPasswdEntry(54321)) GTEST_SKIP() << "uid 54321 has an account here";
  ASSERT_EQ(::chown((datadir_ + "/mysql").c_str(), 54321, 54322), 0);
  XtraBackupUtil util;
  ASSERT_FALSE(util.ChangeDBDirOwner(datadir_, target_).IsError());
  EXPECT_TRUE(LoggedExactly(
      *log_,
      {
          {0, sig::kChangeOwner,
           "userId[54321] does not exists on current system, wil use id anyway"},
          {2, sig::kChangeOwner, "The command is [chown -R 54321:54322 \"" + target_ + "\"]"},
          {2, sig::kChangeOwner, "The command is [chmod -R 0770 \"" + target_ + "\"]"},
      }));
  EXPECT_TRUE(TreeHas(target_, 54321, 54322, 0770));
}

TEST_F(OwnerChange, WritesIdsPastTwoToTheThirtyFirstUnsigned) {
  if (!ops::IsRoot()) GTEST_SKIP() << "needs root";
  const uid_t uid = 3000000000u;
  const gid_t gid = 3000000001u;
  if (HasPasswdEntry(uid)) GTEST_SKIP() << "uid has an account here";
  if (::chown((datadir_ + "/mysql").c_str(), uid, gid) != 0) {
    GTEST_SKIP() << "this file system refuses such ids";
  }
  XtraBackupUtil util;
  ASSERT_FALSE(util.ChangeDBDirOwner(datadir_, target_).IsError());
  EXPECT_TRUE(LoggedInOrder(
      *log_, {
                 {0, sig::kChangeOwner,
                  "userId[3000000000] does not exists on current system, wil use id anyway"},
                 {2, sig::kChangeOwner,
                  "The command is [chown -R 3000000000:3000000001 \"" + target_ + "\"]"},
             }));
  EXPECT_TRUE(TreeHas(target_, uid, gid, 0770));
}

TEST_F(OwnerChange, AFailedOwnerChangeStopsBeforeTheModeChange) {
  FakeTool chown;
  chown.stdoutText = "out text";
  chown.stderrText = "err text";
  chown.exitStatus = 1;
  chown.Install(fakeBin_, "chown");
  ops::InstallRecordingWrapper(fakeBin_, "chmod", realChmod_);
  ops::ScopedPathFirst path(fakeBin_);
  XtraBackupUtil util;
  CKaError result = util.ChangeDBDirOwner(datadir_, target_);
  const std::string command = "chown -R " + SelfName() + ": \"" + target_ + "\"";
  EXPECT_TRUE(
      IsLibraryFailure(result, sig::kChangeOwner,
                       "[" + command + "] command failed post file restore:[out text:err text]"));
  EXPECT_TRUE(LoggedExactly(
      *log_,
      {
          {2, sig::kChangeOwner, "The command is [" + command + "]"},
          {0, sig::kChangeOwner,
           "Failed to change the owner of ibdata1 xtrabackup_info and [" + target_ + "] directory"},
      }));
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chown"),
            (std::vector<std::string>{"-R", SelfName() + ":", target_}));
  EXPECT_EQ(FakeTool::CallCount(fakeBin_, "chmod"), 0);
  EXPECT_EQ(ops::ModeOf(target_ + "/t1.ibd"), 0600);
}

TEST_F(OwnerChange, AFailedModeChangeIsReportedWithItsOutput) {
  ops::InstallRecordingWrapper(fakeBin_, "chown", realChown_);
  FakeTool chmod;
  chmod.stderrText = "chmod: denied\n";
  chmod.exitStatus = 1;
  chmod.Install(fakeBin_, "chmod");
  ops::ScopedPathFirst path(fakeBin_);
  XtraBackupUtil util;
  CKaError result = util.ChangeDBDirOwner(datadir_, target_);
  const std::string command = "chmod -R 0770 \"" + target_ + "\"";
  EXPECT_TRUE(
      IsLibraryFailure(result, sig::kChangeOwner,
                       "[" + command + "] command failed post file restore:[:chmod: denied\n]"));
  EXPECT_TRUE(LoggedInOrder(
      *log_,
      {
          {2, sig::kChangeOwner, "The command is [" + command + "]"},
          {0, sig::kChangeOwner,
           "Failed to change the mode of ibdata1 xtrabackup_info and [" + target_ + "] directory"},
      }));
  EXPECT_EQ(FakeTool::CallCount(fakeBin_, "chown"), 1);
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chmod"),
            (std::vector<std::string>{"-R", "0770", target_}));
}

TEST_F(OwnerChange, AMissingTargetFailsWithTheToolsText) {
  XtraBackupUtil util;
  const std::string missing = root_ / "data/nothing";
  CKaError result = util.ChangeDBDirOwner(datadir_, missing);
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.GetFunction(), sig::kChangeOwner);
  const std::string prefix =
      "[chown -R " + SelfName() + ": \"" + missing + "\"] command failed post file restore:[:";
  EXPECT_EQ(result.AsString().compare(0, prefix.size(), prefix), 0) << result.AsString();
  EXPECT_NE(result.AsString().find("No such file"), std::string::npos) << result.AsString();
}

// ------------------------------------------ hostile values on the command line

class RestoreSideHostile : public ::testing::TestWithParam<ops::HostileValue> {
 protected:
  RestoreSideHostile()
      : root_("xbhostile"),
        fakeBin_(root_ / "fakebin"),
        outsideCwd_(ops::CurrentDir()),
        cwd_(root_.path()) {
    ops::MakeDirs(fakeBin_);
  }

  void ExpectNothingInjected() {
    EXPECT_EQ(ops::FindPwned(root_.path()), std::vector<std::string>{});
    EXPECT_FALSE(PathExists(outsideCwd_ + "/PWNED"));
  }

  bool Globs() const { return GetParam().text.find('*') != std::string::npos; }

  // A file tree at `dir` (and, for a pattern, the same at its decoy), modes
  // 0600/0700.
  void MakeTree(const std::string& dir) {
    for (const std::string& at : {dir, ops::DecoyOf(dir)}) {
      ops::MakeDirs(at + "/sub");
      ::chmod(at.c_str(), 0700);
      WriteFileWithMode(at + "/f.ibd", "content", 0600);
      WriteFileWithMode(at + "/sub/g", "g", 0600);
    }
  }

  ::testing::AssertionResult DecoyUntouched(const std::string& dir) {
    if (!Globs()) return ::testing::AssertionSuccess();
    for (const std::string& file : {ops::DecoyOf(dir) + "/f.ibd", ops::DecoyOf(dir) + "/sub/g"}) {
      if (ops::ModeOf(file) != 0600 || ops::OwnerOf(file) != ::geteuid()) {
        return ::testing::AssertionFailure() << file << " was changed";
      }
    }
    return ::testing::AssertionSuccess();
  }

  std::string MakeToolDir() {
    std::string dir = root_ / ("tools-" + GetParam().text);
    ops::MakeDirs(dir);
    FakeTool().Install(dir, "xtrabackup");
    if (Globs()) {
      ops::MakeDirs(ops::DecoyOf(dir));
      FakeTool().Install(ops::DecoyOf(dir), "xtrabackup");
    }
    return dir;
  }

  std::string realCp_ = ops::Which("cp");
  std::string realChmod_ = ops::Which("chmod");
  std::string realChown_ = ops::Which("chown");
  ScopedLogWriter log_;
  ScopedSettings settings_;
  TempDir root_;
  std::string fakeBin_;
  std::string outsideCwd_;
  ops::ScopedCwd cwd_;
};

TEST_P(RestoreSideHostile, PrepareChangesAndPassesTheTargetIntact) {
  const Account mysql = MysqlAccount();
  const std::string& h = GetParam().text;
  const std::string toolDir = MakeToolDir();
  const std::string target = root_ / ("target-" + h);
  MakeTree(target);
  ops::InstallRecordingWrapper(fakeBin_, "chmod", realChmod_);
  ops::InstallRecordingWrapper(fakeBin_, "chown", realChown_);
  ops::ScopedPathFirst path(fakeBin_);

  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir);
  CKaError result = util.prepare(target);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(FakeTool::LastArgs(toolDir, "xtrabackup"),
            (std::vector<std::string>{"--prepare", "--export", "--target-dir=" + target}));
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chmod"),
            (std::vector<std::string>{"-R", "0770", target}));
  EXPECT_TRUE(TreeHas(target, ::geteuid(), ::getegid(), 0770));

  if (ops::IsRoot() && mysql.found) {
    util.bFullServerXtrabackup = true;
    result = util.prepare(target);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(FakeTool::LastArgs(toolDir, "xtrabackup"),
              (std::vector<std::string>{"--prepare", "--target-dir=" + target}));
    EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chown"),
              (std::vector<std::string>{"-R", "mysql:mysql", target}));
    EXPECT_EQ(ops::OwnerOf(target + "/sub/g"), mysql.uid);
    EXPECT_EQ(ops::OwnerOf(target), mysql.uid);
  }
  EXPECT_TRUE(DecoyUntouched(target));
  if (Globs()) {
    EXPECT_EQ(FakeTool::CallCount(ops::DecoyOf(toolDir), "xtrabackup"), 0);
  }
  ExpectNothingInjected();
}

TEST_P(RestoreSideHostile, PrepareFailureNamesTheDirectoryLiterally) {
  const std::string toolDir = MakeToolDir();
  const std::string target = root_ / ("absent-" + GetParam().text);
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir);
  CKaError result = util.prepare(target);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kPrepare, "XtraBackupUtil::prepare failed"));
  EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kPrepare,
                         "Failed to change the mode of [" + target + "] directory"));
  EXPECT_EQ(FakeTool::CallCount(toolDir, "xtrabackup"), 0);
  ExpectNothingInjected();
}

TEST_P(RestoreSideHostile, OwnerChangeReachesOnlyTheNamedDirectory) {
  const Account mysql = MysqlAccount();
  const std::string& h = GetParam().text;
  const std::string datadir = root_ / ("data-" + h);
  const std::string target = root_ / ("target-" + h);
  ops::MakeDirs(datadir + "/mysql");
  MakeTree(target);
  const bool asMysql = ops::IsRoot() && mysql.found;
  if (asMysql) {
    ASSERT_EQ(::chown((datadir + "/mysql").c_str(), mysql.uid, mysql.gid), 0);
  }
  ops::InstallRecordingWrapper(fakeBin_, "chmod", realChmod_);
  ops::InstallRecordingWrapper(fakeBin_, "chown", realChown_);
  ops::ScopedPathFirst path(fakeBin_);

  XtraBackupUtil util;
  CKaError result = util.ChangeDBDirOwner(datadir, target);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  const struct passwd* self = ::getpwuid(::geteuid());
  ASSERT_NE(self, nullptr);
  const std::string ownerName = asMysql ? "mysql" : self->pw_name;
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chown"),
            (std::vector<std::string>{"-R", ownerName + ":", target}));
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chmod"),
            (std::vector<std::string>{"-R", "0770", target}));
  if (asMysql) {
    EXPECT_TRUE(TreeHas(target, mysql.uid, mysql.gid, 0770));
  } else {
    EXPECT_TRUE(TreeHas(target, ::geteuid(), ops::GroupOf(target), 0770));
  }
  EXPECT_TRUE(DecoyUntouched(target));
  ExpectNothingInjected();
}

TEST_P(RestoreSideHostile, ApplyBackCopiesBetweenHostileDirectories) {
  const Account mysql = MysqlAccount();
  const std::string& h = GetParam().text;
  const std::string staging = root_ / ("staging-" + h);
  const std::string datadir = root_ / ("data-" + h);
  const std::string database = "db-" + h;
  XtraBackupUtil util;
  std::string encoded;
  util.convertSpecialCharsToHexChars(database, encoded);
  ASSERT_FALSE(encoded.empty());
  const std::string source = staging + "/" + encoded;
  const std::string dest = datadir + "/" + encoded;

  for (const std::string& dir : {source, dest, ops::DecoyOf(source), ops::DecoyOf(dest)}) {
    ops::MakeDirs(dir);
  }
  ops::MakeDirs(datadir + "/mysql");
  const bool asMysql = ops::IsRoot() && mysql.found;
  if (asMysql) {
    ASSERT_EQ(::chown((datadir + "/mysql").c_str(), mysql.uid, mysql.gid), 0);
  }
  for (const char* file :
       {"t1.ibd", "t1.cfg", "p#P#p0.ibd", "p#P#p0.cfg", "p#P#p1.ibd", "p#P#p1.cfg"}) {
    WriteFileWithMode(source + "/" + file, std::string("real ") + file, 0640);
    if (Globs()) WriteFileWithMode(ops::DecoyOf(source) + "/" + file, "decoy", 0640);
  }
  if (Globs()) WriteFileWithMode(ops::DecoyOf(dest) + "/keep", "keep", 0600);

  ops::InstallRecordingWrapper(fakeBin_, "cp", realCp_);
  ops::ScopedPathFirst path(fakeBin_);
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB"), Table("p", "InnoDB", true)};
  XtraBackupUtil worker(false, mysqlDetails(), nullptr, root_ / "tools");
  CKaError result = worker.applyBack(database, staging, datadir, meta);
  ASSERT_FALSE(result.IsError()) << result.AsString();

  for (const char* file :
       {"t1.ibd", "t1.cfg", "p#P#p0.ibd", "p#P#p0.cfg", "p#P#p1.ibd", "p#P#p1.cfg"}) {
    EXPECT_EQ(ReadFile(dest + "/" + file), std::string("real ") + file) << file;
  }
  // The last copy: the partition pattern expanded, the directories intact.
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "cp"),
            (std::vector<std::string>{source + "/p#P#p0.cfg", source + "/p#P#p1.cfg", dest + "/"}));
  EXPECT_EQ(FakeTool::CallCount(fakeBin_, "cp"), 4);
  if (asMysql) {
    EXPECT_TRUE(TreeHas(dest, mysql.uid, mysql.gid, 0770));
  } else {
    EXPECT_TRUE(TreeHas(dest, ::geteuid(), ops::GroupOf(dest), 0770));
  }
  if (Globs()) {
    EXPECT_EQ(ops::TreeOf(ops::DecoyOf(dest)).size(), 2u);
    EXPECT_EQ(ops::ModeOf(ops::DecoyOf(dest) + "/keep"), 0600);
  }
  ExpectNothingInjected();
}

TEST_P(RestoreSideHostile, ApplyBackReportsAMissingCfgWithThePlainPaths) {
  const std::string& h = GetParam().text;
  const std::string staging = root_ / ("staging-" + h);
  const std::string datadir = root_ / ("data-" + h);
  ops::MakeDirs(staging + "/db1");
  ops::MakeDirs(datadir + "/db1");
  ops::MakeDirs(datadir + "/mysql");
  WriteFile(staging + "/db1/t1.ibd", "ibd");
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB")};
  XtraBackupUtil util;
  ASSERT_FALSE(util.applyBack("db1", staging, datadir, meta).IsError());
  EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kApplyBack,
                         "Could not copy " + staging + "/db1/t1.cfg file to " + datadir + "/db1."));
  EXPECT_TRUE(
      LoggedOnce(*log_, 2, sig::kApplyBack, "[" + staging + "/db1] --> [" + datadir + "/db1]"));
  EXPECT_EQ(ReadFile(datadir + "/db1/t1.ibd"), "ibd");
  ExpectNothingInjected();
}

INSTANTIATE_TEST_SUITE_P(Values, RestoreSideHostile, ::testing::ValuesIn(ops::HostileValues()),
                         ops::HostileName());

// With ordinary values the command lines read exactly as written.
TEST_F(RestoreSide, OrdinaryValuesGiveThePlainCommandLines) {
  FakeTool().Install(toolDir_, "xtrabackup");
  const std::string target = MakeTarget("plain-dir_1.2+3,4:5@6%7");
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  ASSERT_FALSE(util.prepare(target).IsError());
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kPrepare,
                         "The command is [" + toolDir_ +
                             "/xtrabackup --prepare --export --target-dir=\"" + target + "\" ]"));

  log_->Clear();
  const std::string staging = root_ / "st-1.2+3,4:5@6%7";
  const std::string datadir = root_ / "dd";
  ops::MakeDirs(staging + "/db1");
  ops::MakeDirs(datadir + "/db1");
  ops::MakeDirs(datadir + "/mysql");
  WriteFile(staging + "/db1/t1.ibd", "ibd");
  WriteFile(staging + "/db1/t1.cfg", "cfg");
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB")};
  ASSERT_FALSE(util.applyBack("db1", staging, datadir, meta).IsError());
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kApplyBack,
                         "Command is [cp " + staging + "/db1/t1.ibd \"" + datadir + "/db1/\"]"));
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kApplyBack,
                         "Command is [cp " + staging + "/db1/t1.cfg \"" + datadir + "/db1/\"]"));
}

}  // namespace
