#include <memory>

#include <XtraBackup/XtraBackupUtil.h>

#include "OperationLog.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog(
    "CKaError XtraBackup::XtraBackupUtil::getSchemaDataForXtrabackup(std::string, std::string&)");

}  // namespace

CKaError XtraBackupUtil::getSchemaDataForXtrabackup(std::string sCommand, std::string& sOutput) {
  CKaError runResult;
  {
    // The dump runs on a child-process object of its own, gone before we return.
    std::unique_ptr<LibMySqlProcess::MySqlChildProcess> pProcess(
        new LibMySqlProcess::MySqlChildProcess());
    runResult = runXtraBackupCommand(pProcess.get(), sCommand, true, sOutput, true);
  }
  if (runResult.IsError()) {
    std::string sError = runResult.AsString();
    XB_LOG(kLog, -1, "mysqldump command failed with error [%s]", sError.c_str());
    // The runner's text is carried literally, never used as a format.
    return XB_FAIL(kLog, "%s", sError.c_str());
  }
  return CKaError::Success();
}

}  // namespace XtraBackup
