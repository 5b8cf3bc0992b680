// The utility object and the records it shares with the host.

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace XtraBackup {

// Reads the object's private fields for the tests.
class XtraBackupUtilTestPeer {
 public:
  explicit XtraBackupUtilTestPeer(const XtraBackupUtil& util) : util_(util) {}
  bool tarStream() const { return util_.bTarStream; }
  LibMySqlProcess::MySqlChildProcess* child() const { return util_.pChildProcess; }
  const std::string& toolDir() const { return util_.sXtraBinDir; }
  const mysqlDetails& details() const { return util_.details; }
  const XtraMetaData& metaData() const { return util_.metaData; }

 private:
  const XtraBackupUtil& util_;
};

}  // namespace XtraBackup

namespace {

using XtraBackup::mysqlDetails;
using XtraBackup::MySQLMetaData;
using XtraBackup::XtraBackupUtil;
using XtraBackup::XtraBackupUtilTestPeer;
using XtraBackup::XtraMetaData;

mysqlDetails FilledDetails() {
  mysqlDetails details;
  details.sDefaultsFile = "/etc/my.cnf";
  details.sUser = "backup";
  details.sReserved = "reserved";
  details.sDataDir = "/var/lib/mysql";
  details.sConnectInfo = "/run/mysqld/mysqld.sock";
  details.sLaunchValue1 = "launch1";
  details.sLaunchValue2 = "launch2";
  return details;
}

void ExpectSameDetails(const mysqlDetails& a, const mysqlDetails& b) {
  EXPECT_EQ(a.sDefaultsFile, b.sDefaultsFile);
  EXPECT_EQ(a.sUser, b.sUser);
  EXPECT_EQ(a.sReserved, b.sReserved);
  EXPECT_EQ(a.sDataDir, b.sDataDir);
  EXPECT_EQ(a.sConnectInfo, b.sConnectInfo);
  EXPECT_EQ(a.sLaunchValue1, b.sLaunchValue1);
  EXPECT_EQ(a.sLaunchValue2, b.sLaunchValue2);
}

TEST(UtilObject, DefaultConstructionIsEmpty) {
  XtraBackupUtil util;
  XtraBackupUtilTestPeer peer(util);
  EXPECT_FALSE(peer.tarStream());
  EXPECT_FALSE(util.bFullServerXtrabackup);
  EXPECT_EQ(peer.child(), nullptr);
  EXPECT_TRUE(peer.toolDir().empty());
  ExpectSameDetails(peer.details(), mysqlDetails());
  EXPECT_TRUE(peer.details().sDefaultsFile.empty());
  EXPECT_TRUE(peer.details().sLaunchValue2.empty());
  EXPECT_TRUE(peer.metaData().tableList.empty());
}

TEST(UtilObject, FullConstructorKeepsCopiesOfItsArguments) {
  LibMySqlProcess::MySqlChildProcess child;
  mysqlDetails details = FilledDetails();
  std::string toolDir = "/opt/tools";
  XtraBackupUtil util(true, details, &child, toolDir);

  details.sUser = "changed";
  details.sReserved = "changed";
  toolDir = "/elsewhere";

  XtraBackupUtilTestPeer peer(util);
  EXPECT_TRUE(peer.tarStream());
  EXPECT_FALSE(util.bFullServerXtrabackup);
  EXPECT_EQ(peer.child(), &child);
  EXPECT_EQ(peer.toolDir(), "/opt/tools");
  ExpectSameDetails(peer.details(), FilledDetails());
}

TEST(UtilObject, InitializeAlwaysSucceeds) {
  XtraBackupUtil plain;
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(plain.initialize().IsError());
  XtraBackupUtil full(false, mysqlDetails(), nullptr, "");
  EXPECT_FALSE(full.initialize().IsError());
}

TEST(UtilObject, DestroyingTheObjectLeavesTheHostChildUsable) {
  LibMySqlProcess::MySqlChildProcess child;
  { XtraBackupUtil util(false, FilledDetails(), &child, "/opt/tools"); }
  ASSERT_EQ(child.Initialize("printf still-here", "", ""), 0);
  ASSERT_EQ(child.ZU_CreateProcess(true, false, false, false), 0);
  char buffer[64] = {};
  long length = sizeof buffer - 1;
  ASSERT_EQ(child.ReadBuf(buffer, &length), 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "still-here");
  EXPECT_EQ(child.Wait(0), 0);
}

TEST(Records, DetailsAssignmentCopiesAllSevenFields) {
  mysqlDetails target;
  target.sUser = "old";
  target.sLaunchValue1 = "old";
  const mysqlDetails source = FilledDetails();
  mysqlDetails& result = (target = source);
  EXPECT_EQ(&result, &target);
  ExpectSameDetails(target, source);
  mysqlDetails copied(source);
  ExpectSameDetails(copied, source);
}

TEST(Records, MetaDataCopiesOwnTheirTables) {
  XtraMetaData original;
  MySQLMetaData table;
  table.sTableName = "t1";
  table.sEngine = "InnoDB";
  table.bPartitioned = true;
  original.tableList.push_back(table);
  original.dbInfo.sDBValue2 = "db";

  XtraMetaData copy = original;
  original.tableList.front().sTableName = "changed";
  original.tableList.clear();

  ASSERT_EQ(copy.tableList.size(), 1u);
  EXPECT_EQ(copy.tableList.front().sTableName, "t1");
  EXPECT_TRUE(copy.tableList.front().bPartitioned);
  EXPECT_FALSE(copy.tableList.front().bSkip);
  EXPECT_EQ(copy.dbInfo.sDBValue2, "db");
  EXPECT_EQ(copy.nMetaValue1, 0);
  EXPECT_EQ(copy.nMetaValue2, 0);
}

TEST(Records, ErrorsCarryCodeMessageAndLocation) {
  CKaError ok = CKaError::Success();
  EXPECT_FALSE(ok.IsError());
  EXPECT_EQ(ok.GetStatus(), 0u);
  EXPECT_EQ(ok.AsString(), "");

  CKaError failure = FXErrorUtil::ErrorErrNo(FXCodeLocation{"File", "void f()", 42}, 1627,
                                             "%s has %d%%", "disk", 99);
  EXPECT_TRUE(failure.IsError());
  EXPECT_EQ(failure.GetStatus(), 0x80000000u | 1627u);
  EXPECT_EQ(failure.GetCode(), 1627u);
  EXPECT_EQ(failure.AsString(), "disk has 99%");
  EXPECT_EQ(failure.GetFile(), "File");
  EXPECT_EQ(failure.GetFunction(), "void f()");
  EXPECT_EQ(failure.GetLine(), 42);
  EXPECT_EQ(failure.GetKind(), CKaError::Kind::ErrNo);

  CKaError copy = failure;
  EXPECT_EQ(copy.AsString(), failure.AsString());
  EXPECT_EQ(FXErrorUtil::ErrorWin32(FXCodeLocation{"F", "g", 1}, 1627u, "x").GetKind(),
            CKaError::Kind::Win32);
}

}  // namespace
