#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/FXString.h>
#include <MySqlCommon/GetMySqlInfo.h>
#include <ZuLib/ZUPlatformInfo.h>

#include "OperationLog.h"
#include "ShellQuote.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog(
    "CKaError XtraBackup::XtraBackupUtil::startStream(std::string, long unsigned int, "
    "std::string)");

}  // namespace

CKaError XtraBackupUtil::startStream(std::string sDatabaseName, unsigned long nParallelCount,
                                     std::string sExtraLsnDir) {
  // The command line is C text: a NUL would cut a value, and the backup would
  // be of another database, or go by another tool, file or directory.
  const std::string sNoName;
  const std::string sCut = detail::NulReason({
      {"database name", bFullServerXtrabackup ? &sNoName : &sDatabaseName},
      {"LSN directory", &sExtraLsnDir},
      {"tool directory", &sXtraBinDir},
      {"defaults file", &details.sDefaultsFile},
      {"user name", &details.sUser},
      {"data directory", &details.sDataDir},
  });
  if (!sCut.empty()) {
    XB_LOG(kLog, 0, "Nothing was started: %s", sCut.c_str());
    return XB_FAIL(kLog, "XtraBackupUtil::startStream failed: %s", sCut.c_str());
  }
  std::string sOutput;

  ZUPlatformInfo settings;
  std::string sAdvancedOptions;
  if (settings.getString("MySQL", "sAdvancedXtraBackupOptions", &sAdvancedOptions) == 0) {
    XB_LOG(kLog, 0, "pi.getString failed for sAdvancedXtraBackupOptions");
    sAdvancedOptions.clear();
  }

  XB_LOG(kLog, 0, "found option bFullServerXtrabackup: %d", bFullServerXtrabackup ? 1 : 0);

  std::string sDatabaseOption;
  if (!bFullServerXtrabackup) {
    sDatabaseOption = FXString::Format("--databases \"%s\"",
                                       detail::EscapeForDoubleQuotes(sDatabaseName).c_str());
  }
  std::string sConnectOptions = GetMySqlInfo::GetConnectMethod(details.sConnectInfo);
  const char* pszStreamFormat = bTarStream ? "tar" : "xbstream";

  // Paths outside quotes are quoted as single words when they need it, values
  // inside double quotes are escaped; the advanced options are options and go
  // in as they are.
  std::string sCommand = FXString::Format(
      "%s/xtrabackup --defaults-file=%s --user=%s --backup --datadir=%s %s --parallel=%lu "
      "--extra-lsndir=\"%s\" %s --stream=%s %s",
      detail::QuoteWord(sXtraBinDir).c_str(), detail::QuoteWord(details.sDefaultsFile).c_str(),
      detail::QuoteWord(details.sUser).c_str(), detail::QuoteWord(details.sDataDir).c_str(),
      sConnectOptions.c_str(), nParallelCount,
      detail::EscapeForDoubleQuotes(sExtraLsnDir).c_str(), sDatabaseOption.c_str(),
      pszStreamFormat, sAdvancedOptions.c_str());

  CKaError runResult = runXtraBackupCommand(pChildProcess, sCommand, false, sOutput, false);
  if (runResult.IsError()) {
    return XB_FAIL(kLog, " Failed to run the command [%s]. Error = [%s]", sCommand.c_str(),
                   runResult.AsString().c_str());
  }
  return CKaError::Success();
}

}  // namespace XtraBackup
