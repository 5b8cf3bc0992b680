#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/FXString.h>

#include "OperationLog.h"
#include "ShellQuote.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog(
    "CKaError XtraBackup::XtraBackupUtil::extractXtraBackup(std::string)");

}  // namespace

CKaError XtraBackupUtil::extractXtraBackup(std::string sTargetDir) {
  std::string sOutput;
  if (bTarStream) {
    XB_LOG(kLog, 2, "Tar support is yet to be added");
    return XB_FAIL(kLog, "XtraBackupUtil::extractXtraBackup failed");
  }

  const std::string sCut =
      detail::NulReason({{"target directory", &sTargetDir}, {"tool directory", &sXtraBinDir}});
  if (!sCut.empty()) {
    XB_LOG(kLog, 0, "Nothing was started: %s", sCut.c_str());
    return XB_FAIL(kLog, "XtraBackupUtil::extractXtraBackup failed: %s", sCut.c_str());
  }

  std::string sCommand = FXString::Format(
      "%s/xbstream -x -C \"%s\"", detail::QuoteWord(sXtraBinDir).c_str(),
      detail::EscapeForDoubleQuotes(detail::NotAnOption(sTargetDir)).c_str());

  CKaError runResult = runXtraBackupCommand(pChildProcess, sCommand, false, sOutput, false);
  if (runResult.IsError()) {
    return XB_FAIL(kLog, " Failed to run the command [%s]. Error = [%s]", sCommand.c_str(),
                   runResult.AsString().c_str());
  }
  return CKaError::Success();
}

}  // namespace XtraBackup
