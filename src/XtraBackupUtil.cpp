#include <XtraBackup/XtraBackupUtil.h>

namespace XtraBackup {

XtraBackupUtil::XtraBackupUtil()
    : metaData(),
      bTarStream(false),
      bFullServerXtrabackup(false),
      pChildProcess(nullptr),
      sXtraBinDir(),
      details() {}

XtraBackupUtil::XtraBackupUtil(bool bTarStreamArg, mysqlDetails detailsArg,
                               LibMySqlProcess::MySqlChildProcess* pChildProcessArg,
                               std::string sXtraBinDirArg)
    : metaData(),
      bTarStream(bTarStreamArg),
      bFullServerXtrabackup(false),
      pChildProcess(pChildProcessArg),
      sXtraBinDir(std::move(sXtraBinDirArg)),
      details(detailsArg) {}

// Members go in reverse order of declaration: details, sXtraBinDir, ...,
// metaData. The host's child-process object is not touched.
XtraBackupUtil::~XtraBackupUtil() = default;

CKaError XtraBackupUtil::initialize() { return CKaError::Success(); }

}  // namespace XtraBackup
