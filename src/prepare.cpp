#include <memory>

#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/FXString.h>
#include <ZuLib/ZUPlatformInfo.h>
#include <ZuLib/ZuProcess.h>

#include "OperationLog.h"
#include "ShellQuote.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog("CKaError XtraBackup::XtraBackupUtil::prepare(std::string)");

}  // namespace

CKaError XtraBackupUtil::prepare(std::string sTargetDir) {
  const std::string sCut =
      detail::NulReason({{"target directory", &sTargetDir}, {"tool directory", &sXtraBinDir}});
  if (!sCut.empty()) {
    XB_LOG(kLog, 0, "Nothing was changed: %s", sCut.c_str());
    return XB_FAIL(kLog, "XtraBackupUtil::prepare failed: %s", sCut.c_str());
  }
  std::string sCapturedOut;
  std::string sCapturedErr;
  const std::string sQuotedTarget = detail::EscapeForDoubleQuotes(sTargetDir);

  // "--": a target that starts with '-' is a path, not an option.
  std::string sCommand = FXString::Format("chmod -R 0770 -- \"%s\"", sQuotedTarget.c_str());
  XB_LOG(kLog, 0, "The command is [%s]", sCommand.c_str());
  if (ZuProcess::system(sCommand.c_str(), &sCapturedOut, &sCapturedErr, 0, false) != 0) {
    XB_LOG(kLog, 0, "Failed to change the mode of [%s] directory", sTargetDir.c_str());
    return XB_FAIL(kLog, "XtraBackupUtil::prepare failed");
  }

  ZUPlatformInfo settings;
  std::string sPrepareOptions;
  if (settings.getString("MySQL", "sAdvancedXtraPrepareOptions", &sPrepareOptions) == 0) {
    XB_LOG(kLog, 0, "pi.getString failed for sAdvancedXtraPrepareOptions");
    sPrepareOptions.clear();
  }
  XB_LOG(kLog, 0, "found option bFullServerXtrabackup: %d", bFullServerXtrabackup ? 1 : 0);

  sCommand = FXString::Format("%s/xtrabackup --prepare %s --target-dir=\"%s\" %s",
                              detail::QuoteWord(sXtraBinDir).c_str(),
                              bFullServerXtrabackup ? "" : "--export", sQuotedTarget.c_str(),
                              sPrepareOptions.c_str());
  XB_LOG(kLog, 2, "The command is [%s]", sCommand.c_str());

  CKaError runResult;
  {
    std::string sUnusedOutput;
    std::unique_ptr<LibMySqlProcess::MySqlChildProcess> pProcess(
        new LibMySqlProcess::MySqlChildProcess());
    runResult = runXtraBackupCommand(pProcess.get(), sCommand, false, sUnusedOutput, true);
  }
  if (runResult.IsError()) {
    return XB_FAIL(kLog, " Failed to run the command [%s]. Error = [%s]", sCommand.c_str(),
                   runResult.AsString().c_str());
  }
  if (!bFullServerXtrabackup) return CKaError::Success();

  sCommand = FXString::Format("chown -R mysql:mysql -- \"%s\"", sQuotedTarget.c_str());
  XB_LOG(kLog, 0, "The command is [%s]", sCommand.c_str());
  if (ZuProcess::system(sCommand.c_str(), &sCapturedOut, &sCapturedErr, 0, false) != 0) {
    XB_LOG(kLog, 0, "Failed to change the ownership of [%s] directory", sTargetDir.c_str());
    return XB_FAIL(kLog, "XtraBackupUtil::prepare failed");
  }
  return CKaError::Success();
}

}  // namespace XtraBackup
