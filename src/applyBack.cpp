#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/CKaPath.h>
#include <KaUtils/FXString.h>
#include <MySqlCommon/GetMySqlInfo.h>
#include <ZuLib/ZuProcess.h>

#include "OperationLog.h"
#include "ShellQuote.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kApplyLog(
    "CKaError XtraBackup::XtraBackupUtil::applyBack(std::string, std::string, std::string, "
    "XtraBackup::XtraMetaData)");
const detail::OperationLog kConvertLog(
    "void XtraBackup::XtraBackupUtil::convertSpecialCharsToHexChars(std::string, std::string&)");

bool IsAppliedTable(const MySQLMetaData& table) {
  return !table.bSkip && table.sEngine == "InnoDB";
}

}  // namespace

void XtraBackupUtil::convertSpecialCharsToHexChars(std::string sName, std::string& sHexName) {
  XB_LOG(kConvertLog, 5, "Trying to convert: %s", sName.c_str());
  sHexName = GetMySqlInfo::getMySqlHexName(sName);
  XB_LOG(kConvertLog, 5, "Converted db name: %s", sHexName.c_str());
}

CKaError XtraBackupUtil::applyBack(std::string sDBName, std::string sStagingDir,
                                   std::string sServerDataDir, XtraMetaData metaDataArg) {
  std::string sEncodedDB;
  convertSpecialCharsToHexChars(sDBName, sEncodedDB);
  std::string sDestDir = CKaPath::Append(sServerDataDir.c_str(), sEncodedDB.c_str());
  std::string sSourceDir = CKaPath::Append(sStagingDir.c_str(), sEncodedDB.c_str());
  XB_LOG(kApplyLog, 2, "[%s] --> [%s]", sSourceDir.c_str(), sDestDir.c_str());

  // Sources stand outside quotes so a partitioned table's "#*" stays a live
  // pattern; the directory part is quoted as one word when it needs it, and
  // the encoded names hold only [0-9A-Za-z_@]. Destinations stand in double
  // quotes.
  const std::string sQuotedSource = detail::QuoteWord(sSourceDir);
  const std::string sQuotedDest = detail::EscapeForDoubleQuotes(sDestDir);

  for (const MySQLMetaData& table : metaDataArg.tableList) {
    if (!IsAppliedTable(table)) continue;

    std::string sStem;
    convertSpecialCharsToHexChars(table.sTableName, sStem);
    if (table.bPartitioned) sStem += "#*";

    std::string sCapturedOut;
    std::string sCapturedErr;
    std::string sCommand = FXString::Format("cp %s/%s.ibd \"%s/\"", sQuotedSource.c_str(),
                                            sStem.c_str(), sQuotedDest.c_str());
    XB_LOG(kApplyLog, 2, "Command is [%s]", sCommand.c_str());
    if (ZuProcess::system(sCommand.c_str(), &sCapturedOut, &sCapturedErr, 0, false) != 0) {
      XB_LOG(kApplyLog, 0, "Failed to copy .ibd file");
      return XB_FAIL(kApplyLog, "XtraBackupUtil::applyBack failed");
    }

    std::string sCfgPath = FXString::Format("%s/%s.cfg", sSourceDir.c_str(), sStem.c_str());
    sCommand = FXString::Format("cp %s/%s.cfg \"%s/\"", sQuotedSource.c_str(), sStem.c_str(),
                                sQuotedDest.c_str());
    XB_LOG(kApplyLog, 2, "Command is [%s]", sCommand.c_str());
    if (ZuProcess::system(sCommand.c_str(), &sCapturedOut, &sCapturedErr, 0, false) != 0) {
      XB_LOG(kApplyLog, 0, "Could not copy %s file to %s.", sCfgPath.c_str(), sDestDir.c_str());
    }
  }
  return ChangeDBDirOwner(sServerDataDir, sDestDir);
}

}  // namespace XtraBackup
