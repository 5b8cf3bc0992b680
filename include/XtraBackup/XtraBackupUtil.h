#pragma once

// The utility library's whole public surface: XtraBackup::XtraBackupUtil and
// the four records it shares with the host. Including this header also gives
// a host the platform declarations it needs: CKaError, the child-process
// class and the log writer interface with g_ptrLogWriter (defined by the host),
// and the version macros XTRABACKUP_UTIL_VERSION_MAJOR, _MINOR and _PATCH.

#include <cstdint>
#include <list>
#include <string>

#include <KaUtils/CKaError.h>
#include <LogWriter/LogWriterInterface.h>
#include <XtraBackup/Version.h>
#include <zuMySqlChildProcess/MySqlChildProcess.h>

#define XTRABACKUP_UTIL_API __attribute__((visibility("default")))

namespace XtraBackup {

// Connection details of one MySQL instance.
struct mysqlDetails {
  std::string sDefaultsFile;  // --defaults-file of the backup tool
  std::string sUser;          // --user
  std::string sReserved;      // carried for the host
  std::string sDataDir;       // --datadir
  std::string sConnectInfo;   // input of GetMySqlInfo::GetConnectMethod
  std::string sLaunchValue1;  // second value of MySqlChildProcess::Initialize
  std::string sLaunchValue2;  // third value of MySqlChildProcess::Initialize

  mysqlDetails() : sDefaultsFile(""), sUser(""), sReserved(""), sDataDir(""), sConnectInfo("") {}
  mysqlDetails(const mysqlDetails&) = default;
  mysqlDetails& operator=(const mysqlDetails&) = default;
  ~mysqlDetails() = default;
};

// One table of a database backup.
struct MySQLMetaData {
  std::string sTableValue1;   // carried for the host
  std::string sTableValue2;   // carried for the host
  std::string sTableName;     // the name as the server knows it, not encoded
  std::string sEngine;        // storage engine; only "InnoDB" files are applied
  bool bSkip = false;         // leave this table out of the restore
  bool bPartitioned = false;  // stored as one file per partition

  ~MySQLMetaData() = default;
};

struct MySQLDBInfo {
  std::string sDBValue1;  // carried for the host
  std::string sDBValue2;  // carried for the host
  std::string sDBValue3;  // carried for the host
};

// Metadata of one database's backup.
struct XtraMetaData {
  int64_t nMetaValue1;                  // carried for the host
  MySQLDBInfo dbInfo;                   // carried for the host
  int64_t nMetaValue2;                  // carried for the host
  std::list<MySQLMetaData> tableList;  // one entry per table, in the host's order

  XtraMetaData() : nMetaValue1(0), nMetaValue2(0) {}
  XtraMetaData(const XtraMetaData&) = default;
  XtraMetaData& operator=(const XtraMetaData&) = default;
  ~XtraMetaData() = default;
};

class XtraBackupUtilTestPeer;

// Drives the backup tool (xtrabackup) and its stream extractor (xbstream) for
// one MySQL instance. Operations are synchronous, read the object's fields and
// never change them. The object does not own the child-process object it is
// given; that object must outlive every call that uses it. One object is used
// from one thread at a time.
class XTRABACKUP_UTIL_API XtraBackupUtil {
 public:
  XtraBackupUtil();
  XtraBackupUtil(bool bTarStream, mysqlDetails details,
                 LibMySqlProcess::MySqlChildProcess* pChildProcess, std::string sXtraBinDir);
  ~XtraBackupUtil();

  // Always succeeds; reads and changes nothing.
  CKaError initialize();

  // Starts sCommand on pProcess; with bReadOutput appends its whole standard
  // output to sOutput; with bWait waits for it and fails with its standard
  // error text in square brackets when it did not succeed.
  CKaError runXtraBackupCommand(LibMySqlProcess::MySqlChildProcess* pProcess,
                                std::string sCommand, bool bReadOutput, std::string& sOutput,
                                bool bWait);

  // Starts a streaming backup (whole server or sDatabaseName, an on-disk
  // name) on the host's child process; the host then reads the stream.
  CKaError startStream(std::string sDatabaseName, unsigned long nParallelCount,
                       std::string sExtraLsnDir);

  // Starts xbstream extraction into sTargetDir on the host's child process;
  // the host then writes the stream to it.
  CKaError extractXtraBackup(std::string sTargetDir);

  // Copies the .ibd/.cfg files of the listed InnoDB tables of sDBName from the
  // prepared sStagingDir into sServerDataDir, then fixes owner and mode.
  CKaError applyBack(std::string sDBName, std::string sStagingDir, std::string sServerDataDir,
                     XtraMetaData metaData);

  // Prepares an extracted backup (with --export for one database).
  CKaError prepare(std::string sTargetDir);

  // Reads the binary-log file number and position from
  // sStagingDir/xtrabackup_binlog_info.
  CKaError populateLogData(long* pBinLogFileNumber, long* pBinLogPosition,
                           std::string sStagingDir);

  // The on-disk (file-name) form of a database or table name.
  void convertSpecialCharsToHexChars(std::string sName, std::string& sHexName);

  // Runs a schema-dump command to completion, appending its output to sOutput.
  CKaError getSchemaDataForXtrabackup(std::string sCommand, std::string& sOutput);

  // Gives sTargetDir, recursively, the owner of sServerDataDir/mysql and the
  // mode 0770.
  CKaError ChangeDBDirOwner(const std::string& sServerDataDir, const std::string& sTargetDir);

 private:
  friend class XtraBackupUtilTestPeer;

  XtraMetaData metaData;
  bool bTarStream;

 public:
  // True for a backup or restore of the whole server; false for one database.
  // Starts at false.
  bool bFullServerXtrabackup;

 private:
  LibMySqlProcess::MySqlChildProcess* pChildProcess;
  std::string sXtraBinDir;
  mysqlDetails details;
};

}  // namespace XtraBackup
