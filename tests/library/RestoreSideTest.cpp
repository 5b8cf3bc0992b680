// The restore side of the utility: preparing an extracted backup, copying one
// database's InnoDB files into a data directory, and giving restored files
// the data directory's owner and mode. Tools are fake scripts; cp, chmod and
// chown are the real commands, or recording stand-ins put first in PATH.

#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <utility>
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

// A tmpfs mounted on `dir` for the object's lifetime; Mounted() is false where
// this process may not mount.
class ScopedTmpfs {
 public:
  ScopedTmpfs(const std::string& dir, const std::string& options) : dir_(dir) {
    ops::MakeDirs(dir);
    mounted_ = ::mount("tmpfs", dir.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~ScopedTmpfs() {
    if (mounted_) ::umount2(dir_.c_str(), MNT_DETACH);
  }
  ScopedTmpfs(const ScopedTmpfs&) = delete;
  ScopedTmpfs& operator=(const ScopedTmpfs&) = delete;
  bool Mounted() const { return mounted_; }
  bool Remount(unsigned long flags, const std::string& options) {
    return ::mount("tmpfs", dir_.c_str(), "tmpfs", MS_REMOUNT | flags, options.c_str()) == 0;
  }
  // Inodes in use.
  unsigned long UsedInodes() const {
    struct statvfs fs;
    return ::statvfs(dir_.c_str(), &fs) == 0 ? fs.f_files - fs.f_ffree : 0;
  }

 private:
  std::string dir_;
  bool mounted_ = false;
};

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
                 {0, sig::kPrepare, "The command is [chmod -R 0770 -- \"" + target + "\"]"},
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
                 {0, sig::kPrepare, "The command is [chmod -R 0770 -- \"" + target + "\"]"},
                 {0, sig::kPrepare, "found option bFullServerXtrabackup: 1"},
                 {2, sig::kPrepare, "The command is [" + command + "]"},
                 {2, sig::kRun, "The command run is : [" + command + "]"},
                 {0, sig::kRun, "ndebugXtraBackup is not set. Defaulting to 0"},
                 {0, sig::kPrepare, "The command is [chown -R mysql:mysql -- \"" + target + "\"]"},
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
                 {0, sig::kPrepare, "The command is [chmod -R 0770 -- \"" + target + "\"]"},
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
                 {0, sig::kPrepare, "The command is [chown -R mysql:mysql -- \"" + target + "\"]"},
                 {0, sig::kPrepare, "Failed to change the ownership of [" + target + "] directory"},
             }));
  EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chown"),
            (std::vector<std::string>{"-R", "mysql:mysql", "--", target}));
}

// chmod and chown would take a target named like an option for one, print
// their help and change nothing; a NUL would cut the target short.
TEST_F(RestoreSide, PrepareTakesAnOptionLikeTargetAsAPathAndRefusesANul) {
  FakeTool().Install(toolDir_, "xtrabackup");
  const Account mysql = MysqlAccount();
  const bool asRoot = ops::IsRoot() && mysql.found;
  const struct group* mysqlGroup = asRoot ? ::getgrnam("mysql") : nullptr;
  ASSERT_TRUE(!asRoot || mysqlGroup != nullptr);
  const uid_t uid = asRoot ? mysql.uid : ::geteuid();
  const gid_t gid = asRoot ? mysqlGroup->gr_gid : ::getegid();
  ops::ScopedCwd cwd(root_.path());
  for (const std::string name : {"--help", "--version"}) {
    SCOPED_TRACE(name);
    const std::string target = MakeTarget(name);
    XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
    util.bFullServerXtrabackup = asRoot;
    CKaError result = util.prepare(name);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_TRUE(TreeHas(target, uid, gid, 0770));
  }
  const std::string cut("a\0b;pwned", 9);
  const std::string target = MakeTarget("a");
  for (bool toolCut : {false, true}) {
    log_->Clear();
    XtraBackupUtil util(false, mysqlDetails(), nullptr, toolCut ? toolDir_ + cut : toolDir_);
    const std::string reason =
        std::string("the ") + (toolCut ? "tool" : "target") + " directory holds a NUL character";
    // Cut at the NUL, the target would be the directory `a`.
    EXPECT_TRUE(IsLibraryFailure(util.prepare(toolCut ? target : root_ / cut), sig::kPrepare,
                                 "XtraBackupUtil::prepare failed: " + reason));
    EXPECT_TRUE(LoggedExactly(*log_, {{0, sig::kPrepare, "Nothing was changed: " + reason}}));
  }
  EXPECT_EQ(ops::ModeOf(target), 0700);
  EXPECT_EQ(FakeTool::CallCount(toolDir_, "xtrabackup"), 2);
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

  const std::string q = "] to [" + dest_ + "/]";
  EXPECT_TRUE(LoggedInOrder(
      *log_,
      {
          {5, sig::kConvert, "Trying to convert: my-db"},
          {5, sig::kConvert, "Converted db name: my@002ddb"},
          {2, sig::kApplyBack, "[" + source_ + "] --> [" + dest_ + "]"},
          {5, sig::kConvert, "Trying to convert: t-1"},
          {5, sig::kConvert, "Converted db name: t@002d1"},
          {2, sig::kApplyBack, "Copying [" + source_ + "/t@002d1.ibd" + q},
          {2, sig::kApplyBack, "Copying [" + source_ + "/t@002d1.cfg" + q},
          {2, sig::kApplyBack, "Copying [" + source_ + "/t2.ibd" + q},
          {2, sig::kApplyBack, "Copying [" + source_ + "/t2.cfg" + q},
          {0, sig::kApplyBack, "Could not copy " + source_ + "/t2.cfg file to " + dest_ + "."},
          {2, sig::kApplyBack, "Copying [" + source_ + "/p#*.ibd" + q},
          {2, sig::kApplyBack, "Copying [" + source_ + "/p#*.cfg" + q},
          {2, sig::kApplyBack, "Copying [" + source_ + "/s#*.ibd" + q},
          {2, sig::kApplyBack, "Copying [" + source_ + "/s#*.cfg" + q},
          {2, sig::kChangeOwner, "Giving [" + dest_ + "] and everything in it the owner [" +
                                     SelfName() + ":] and the mode 0770"},
      }));
  EXPECT_EQ(log_->FindContaining("Copying [").size(), 8u);
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
                         "Giving [" + dest_ +
                             "] and everything in it the owner [mysql:] and the mode 0770"));
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
                         "Copying [" + source_ + "/t1.ibd] to [" + dest_ + "/]"));
  EXPECT_TRUE(
      LoggedOnce(*log_, 2, sig::kChangeOwner,
                 "Giving [" + dest_ + "] and everything in it the owner [" + SelfName() +
                     ":] and the mode 0770"));
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
                 {2, sig::kApplyBack, "Copying [" + source_ + "/b.ibd] to [" + dest_ + "/]"},
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
  EXPECT_EQ(log_->FindContaining("Copying [").size(), 0u);
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

// Paths below root with their modes, to show that nothing changed.
std::vector<std::pair<std::string, int>> ModesBelow(const std::string& root) {
  std::vector<std::pair<std::string, int>> modes;
  for (const std::string& path : ops::TreeOf(root)) modes.emplace_back(path, ops::ModeOf(path));
  std::sort(modes.begin(), modes.end());
  return modes;
}

std::vector<std::string> NamesIn(const std::string& dir) {
  std::vector<std::string> names;
  for (const std::string& path : ops::TreeOf(dir)) {
    if (path != dir) names.push_back(path.substr(dir.size() + 1));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// The process's file size limit for its lifetime (SIGXFSZ ignored, so a
// write past it fails with EFBIG).
class ScopedFileSizeLimit {
 public:
  explicit ScopedFileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    previous_ = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = saved_;
    limit.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~ScopedFileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, previous_);
  }

 private:
  struct rlimit saved_;
  sighandler_t previous_;
};

TEST_F(ApplyBack, ACfgThatCannotBeCopiedWholeFailsWithTheReason) {
  enum class Room { kSpace, kInodes, kFileSizeLimit };
  const struct {
    const char* label;
    Room room;
    int err;
  } cases[] = {
      {"file system full", Room::kSpace, ENOSPC},
      {"no inode left", Room::kInodes, ENOSPC},
      {"file size limit", Room::kFileSizeLimit, EFBIG},
  };
  const std::string ibd(16 * 1024, 'i');
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    log_->Clear();
    TempDir area("xbnoroom");
    const std::string staging = area / "staging";
    const std::string datadir = area / "data";
    std::unique_ptr<ScopedTmpfs> fs;
    if (c.room != Room::kFileSizeLimit) {
      fs.reset(new ScopedTmpfs(datadir, "size=256k"));
      if (!fs->Mounted()) {
        std::cout << "[  SKIPPED ] " << c.label << ": needs the right to mount a tmpfs\n";
        continue;
      }
    }
    Layout(staging, datadir);
    WriteFileWithMode(source_ + "/t1.ibd", ibd, 0640);
    WriteFileWithMode(source_ + "/t1.cfg", std::string(c.room == Room::kInodes ? 100 : 512 * 1024, 'c'),
                      0640);
    if (c.room == Room::kInodes) {
      // Room for the .ibd's inode and no other.
      ASSERT_TRUE(fs->Remount(0, "nr_inodes=" + std::to_string(fs->UsedInodes() + 1)));
    }
    XtraMetaData meta;
    meta.tableList = {Table("t1", "InnoDB")};
    XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
    CKaError result;
    {
      std::unique_ptr<ScopedFileSizeLimit> limit;
      if (c.room == Room::kFileSizeLimit) limit.reset(new ScopedFileSizeLimit(64 * 1024));
      result = util.applyBack("my-db", staging, datadir, meta);
    }
    EXPECT_TRUE(IsLibraryFailure(result, sig::kApplyBack,
                                 "XtraBackupUtil::applyBack failed: " + dest_ + "/t1.cfg: " +
                                     std::strerror(c.err)));
    EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kApplyBack,
                           "Could not copy " + source_ + "/t1.cfg file to " + dest_ + "."));
    // The .ibd is in place whole; no piece of the .cfg is; no owner change ran.
    EXPECT_EQ(ReadFile(dest_ + "/t1.ibd"), ibd);
    EXPECT_EQ(NamesIn(dest_), (std::vector<std::string>{"t1.ibd", "t@002d1.frm"}));
    EXPECT_EQ(ops::ModeOf(dest_ + "/t1.ibd"), 0640);
  }
}

TEST_F(ApplyBack, ReplacesPlantedLinksInsteadOfWritingThroughThem) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  const std::string outside = root_ / "outside";
  Layout(staging, datadir);
  ops::MakeDirs(outside);
  const char* planted[] = {"t1.ibd", "t1.cfg", "p#P#p0.ibd", "p#P#p0.cfg"};
  for (const char* name : planted) {
    Source(name);
    WriteFileWithMode(outside + "/" + name, "secret", 0600);
    ASSERT_EQ(::symlink((outside + "/" + name).c_str(), (dest_ + "/" + name).c_str()), 0);
  }
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB"), Table("p", "InnoDB", true)};
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.applyBack("my-db", staging, datadir, meta);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  for (const char* name : planted) {
    SCOPED_TRACE(name);
    EXPECT_EQ(ReadFile(outside + "/" + name), "secret");
    EXPECT_EQ(ops::ModeOf(outside + "/" + name), 0600);
    EXPECT_EQ(ops::OwnerOf(outside + "/" + name), ::geteuid());
    struct stat st;
    ASSERT_EQ(::lstat((dest_ + "/" + name).c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(ReadFile(dest_ + "/" + name), std::string("data of ") + name);
  }
  EXPECT_EQ(NamesIn(dest_), (std::vector<std::string>{"p#P#p0.cfg", "p#P#p0.ibd", "t1.cfg",
                                                     "t1.ibd", "t@002d1.frm"}));
}

TEST_F(ApplyBack, RefusesADatabaseDirectoryThatIsALink) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  const std::string elsewhere = root_ / "elsewhere";
  Layout(staging, datadir);
  Source("t1.ibd");
  ops::MakeDirs(elsewhere + "/sub");
  ::chmod((elsewhere + "/sub").c_str(), 0700);
  WriteFileWithMode(elsewhere + "/f", "f", 0600);
  ASSERT_EQ(RunShell("rm -r " + ops::Sq(dest_) + " && ln -s " + ops::Sq(elsewhere) + " " +
                     ops::Sq(dest_) + " && echo ok"),
            "ok\n");
  const auto before = ModesBelow(elsewhere);
  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB")};
  XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
  CKaError result = util.applyBack("my-db", staging, datadir, meta);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kApplyBack,
                               "XtraBackupUtil::applyBack failed: " + dest_ +
                                   ": it is a symbolic link"));
  EXPECT_EQ(ModesBelow(elsewhere), before);
  EXPECT_FALSE(PathExists(elsewhere + "/t1.ibd"));
}

TEST_F(ApplyBack, RefusesEmptyAndCutNamesBeforeChangingAnything) {
  const std::string staging = root_ / "staging";
  const std::string datadir = root_ / "data";
  Layout(staging, datadir);
  Source("t1.ibd");
  Source("t1.cfg");
  WriteFileWithMode(staging + "/t1.ibd", "wrong place", 0640);
  ops::MakeDirs(datadir + "/other");
  WriteFileWithMode(datadir + "/other/o.ibd", "o", 0600);
  const std::string nul("\0x", 2);
  const struct {
    std::string database;
    std::string table;
    std::string staging;
    std::string datadir;
    std::string reason;
  } cases[] = {
      {"", "t1", staging, datadir, "the database name is empty"},
      {"my-db" + nul, "t1", staging, datadir, "the database name holds a NUL character"},
      {"my-db", "t1" + nul, staging, datadir, "a table name holds a NUL character"},
      {"my-db", "", staging, datadir, "a table name is empty"},
      {"my-db", "t1", staging + nul, datadir, "the staging directory holds a NUL character"},
      {"my-db", "t1", staging, datadir + nul, "the data directory holds a NUL character"},
  };
  const auto before = ModesBelow(datadir);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    log_->Clear();
    XtraMetaData meta;
    meta.tableList = {Table(c.table, "InnoDB")};
    XtraBackupUtil util(false, mysqlDetails(), nullptr, toolDir_);
    CKaError result = util.applyBack(c.database, c.staging, c.datadir, meta);
    EXPECT_TRUE(IsLibraryFailure(result, sig::kApplyBack,
                                 "XtraBackupUtil::applyBack failed: " + c.reason));
    EXPECT_TRUE(LoggedOnce(*log_, 0, sig::kApplyBack, "Nothing was copied: " + c.reason));
    EXPECT_EQ(ModesBelow(datadir), before);
  }
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
                 {2, sig::kChangeOwner,
                  "Giving [" + target_ +
                      "] and everything in it the owner [mysql:] and the mode 0770"},
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
          {2, sig::kChangeOwner,
           "Giving [" + target_ + "] and everything in it the owner [54321:54322] and the mode 0770"},
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
                  "Giving [" + target_ +
                      "] and everything in it the owner [3000000000:3000000001] and the mode 0770"},
             }));
  EXPECT_TRUE(TreeHas(target_, uid, gid, 0770));
}

TEST_F(OwnerChange, AFailedOwnerChangeIsReportedWithTheSystemsReason) {
  ScopedTmpfs fs(root_ / "ro", "size=1m");
  if (!fs.Mounted()) GTEST_SKIP() << "needs the right to mount a tmpfs";
  const std::string datadir = root_ / "ro";
  const std::string target = datadir + "/db1";
  ops::MakeDirs(datadir + "/mysql");
  ops::MakeDirs(target);
  WriteFileWithMode(target + "/t1.ibd", "ibd", 0600);
  ASSERT_TRUE(fs.Remount(MS_RDONLY, "size=1m"));
  XtraBackupUtil util;
  CKaError result = util.ChangeDBDirOwner(datadir, target);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kChangeOwner,
                               "owner change to [" + SelfName() +
                                   ":] failed post file restore:[" + target +
                                   ": Read-only file system]"));
  EXPECT_TRUE(LoggedOnce(
      *log_, 0, sig::kChangeOwner,
      "Failed to change the owner of ibdata1 xtrabackup_info and [" + target + "] directory"));
  EXPECT_EQ(ops::ModeOf(target + "/t1.ibd"), 0600);
}

TEST_F(OwnerChange, AMissingTargetFailsWithTheSystemsReason) {
  XtraBackupUtil util;
  const std::string missing = root_ / "data/nothing";
  CKaError result = util.ChangeDBDirOwner(datadir_, missing);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kChangeOwner,
                               "owner change to [" + SelfName() +
                                   ":] failed post file restore:[" + missing +
                                   ": No such file or directory]"));
}

TEST_F(OwnerChange, RefusesAnEmptyOrCutPath) {
  const std::string nul("\0x", 2);
  const struct {
    std::string datadir;
    std::string target;
    std::string reason;
  } cases[] = {
      {datadir_, "", "the target directory is empty"},
      {datadir_, target_ + nul, "the target directory holds a NUL character"},
      {datadir_ + nul, target_, "the data directory holds a NUL character"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.reason);
    XtraBackupUtil util;
    EXPECT_TRUE(IsLibraryFailure(util.ChangeDBDirOwner(c.datadir, c.target), sig::kChangeOwner,
                                 "XtraBackupUtil::ChangeDBDirOwner failed: " + c.reason));
    EXPECT_EQ(ops::ModeOf(target_ + "/t1.ibd"), 0600);
    EXPECT_EQ(ops::ModeOf(target_ + "/sub/f"), 0644);
  }
}

TEST_F(OwnerChange, NeverFollowsALinkOutOfTheTree) {
  const std::string outside = root_ / "outside";
  ops::MakeDirs(outside + "/sub");
  ::chmod((outside + "/sub").c_str(), 0700);
  WriteFileWithMode(outside + "/f", "f", 0600);
  const std::string linked = datadir_ + "/linked";
  ASSERT_EQ(::symlink(outside.c_str(), linked.c_str()), 0);
  const auto before = ModesBelow(outside);
  const struct {
    std::string target;
    std::string reason;
  } refused[] = {
      {linked, linked + ": it is a symbolic link"},
      {linked + "/", linked + ": it is a symbolic link"},
      {linked + "/sub", linked + ": it is a symbolic link"},
      {target_ + "/../linked", target_ + "/..: Invalid argument"},
  };
  XtraBackupUtil util;
  for (const auto& c : refused) {
    SCOPED_TRACE(c.target);
    CKaError result = util.ChangeDBDirOwner(datadir_, c.target);
    EXPECT_TRUE(IsLibraryFailure(result, sig::kChangeOwner,
                                 "owner change to [" + SelfName() +
                                     ":] failed post file restore:[" + c.reason + "]"));
    EXPECT_EQ(ModesBelow(outside), before);
  }

  // Links inside the target are changed themselves, never their targets.
  ASSERT_EQ(::symlink(outside.c_str(), (target_ + "/dir-link").c_str()), 0);
  ASSERT_EQ(::symlink((outside + "/f").c_str(), (target_ + "/sub/file-link").c_str()), 0);
  ASSERT_FALSE(util.ChangeDBDirOwner(datadir_, target_).IsError());
  EXPECT_EQ(ModesBelow(outside), before);
  EXPECT_EQ(ops::ModeOf(target_ + "/t1.ibd"), 0770);
  EXPECT_EQ(ops::ModeOf(target_ + "/sub/f"), 0770);
}

TEST_F(OwnerChange, LeavesAFileWithAnotherHardLinkAlone) {
  const std::string outside = root_ / "outside";
  WriteFileWithMode(outside, "elsewhere", 0600);
  const std::string planted = target_ + "/sub/t2.ibd";
  ASSERT_EQ(::link(outside.c_str(), planted.c_str()), 0);
  XtraBackupUtil util;
  CKaError result = util.ChangeDBDirOwner(datadir_, target_);
  EXPECT_TRUE(IsLibraryFailure(result, sig::kChangeOwner,
                               "owner change to [" + SelfName() +
                                   ":] failed post file restore:[" + planted +
                                   ": has 2 hard links, left as it is]"));
  EXPECT_EQ(ops::ModeOf(outside), 0600);
  EXPECT_EQ(ops::OwnerOf(outside), ::geteuid());
}

TEST_F(OwnerChange, GivesPlantedLinksTheOwnerNotTheirTargets) {
  const Account mysql = MysqlAccount();
  if (!ops::IsRoot() || !mysql.found) GTEST_SKIP() << "needs root and a mysql account";
  ASSERT_EQ(::chown((datadir_ + "/mysql").c_str(), mysql.uid, mysql.gid), 0);
  const std::string outside = root_ / "outside";
  WriteFileWithMode(outside, "root only", 0600);
  const std::string link = target_ + "/t2.ibd";
  ASSERT_EQ(::symlink(outside.c_str(), link.c_str()), 0);
  XtraBackupUtil util;
  ASSERT_FALSE(util.ChangeDBDirOwner(datadir_, target_).IsError());
  EXPECT_EQ(ops::OwnerOf(outside), 0u);
  EXPECT_EQ(ops::ModeOf(outside), 0600);
  struct stat st;
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, mysql.uid);
  EXPECT_TRUE(TreeHas(target_ + "/sub", mysql.uid, mysql.gid, 0770));
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
            (std::vector<std::string>{"-R", "0770", "--", target}));
  EXPECT_TRUE(TreeHas(target, ::geteuid(), ::getegid(), 0770));

  if (ops::IsRoot() && mysql.found) {
    util.bFullServerXtrabackup = true;
    result = util.prepare(target);
    ASSERT_FALSE(result.IsError()) << result.AsString();
    EXPECT_EQ(FakeTool::LastArgs(toolDir, "xtrabackup"),
              (std::vector<std::string>{"--prepare", "--target-dir=" + target}));
    EXPECT_EQ(FakeTool::LastArgs(fakeBin_, "chown"),
              (std::vector<std::string>{"-R", "mysql:mysql", "--", target}));
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

  XtraBackupUtil util;
  CKaError result = util.ChangeDBDirOwner(datadir, target);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  const std::string ownerName = asMysql ? "mysql" : SelfName();
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kChangeOwner,
                         "Giving [" + target + "] and everything in it the owner [" + ownerName +
                             ":] and the mode 0770"));
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

  XtraMetaData meta;
  meta.tableList = {Table("t1", "InnoDB"), Table("p", "InnoDB", true)};
  XtraBackupUtil worker(false, mysqlDetails(), nullptr, root_ / "tools");
  CKaError result = worker.applyBack(database, staging, datadir, meta);
  ASSERT_FALSE(result.IsError()) << result.AsString();

  for (const char* file :
       {"t1.ibd", "t1.cfg", "p#P#p0.ibd", "p#P#p0.cfg", "p#P#p1.ibd", "p#P#p1.cfg"}) {
    EXPECT_EQ(ReadFile(dest + "/" + file), std::string("real ") + file) << file;
  }
  // The partition pattern names the partitions' files, the directories intact.
  EXPECT_TRUE(
      LoggedOnce(*log_, 2, sig::kApplyBack, "Copying [" + source + "/p#*.cfg] to [" + dest + "/]"));
  EXPECT_EQ(log_->FindContaining("Copying [").size(), 4u);
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
                         "Copying [" + staging + "/db1/t1.ibd] to [" + datadir + "/db1/]"));
  EXPECT_TRUE(LoggedOnce(*log_, 2, sig::kApplyBack,
                         "Copying [" + staging + "/db1/t1.cfg] to [" + datadir + "/db1/]"));
}

}  // namespace
