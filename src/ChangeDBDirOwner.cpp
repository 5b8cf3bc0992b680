#include <cerrno>

#include <sys/stat.h>

#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/FXString.h>
#include <ZuLib/ZuProcess.h>
#include <ZuLib/ZuPwEnt.h>

#include "OperationLog.h"
#include "ShellQuote.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog(
    "CKaError XtraBackup::XtraBackupUtil::ChangeDBDirOwner(const string&, const string&)");

}  // namespace

CKaError XtraBackupUtil::ChangeDBDirOwner(const std::string& sServerDataDir,
                                          const std::string& sTargetDir) {
  std::string sReferencePath = sServerDataDir + "/mysql";
  struct stat reference;
  if (::stat(sReferencePath.c_str(), &reference) < 0) {
    int nErrNo = errno;
    return FXErrorUtil::ErrorWin32(kLog.At(__LINE__), detail::kXtraBackupErrorCode,
                                   "stat[%s]:error %d", sReferencePath.c_str(), nErrNo);
  }

  errno = 0;
  ZuPwEnt owner(reference.st_uid);
  // Ids are unsigned; ids past 2^31 are written as they are, not as negatives.
  std::string sOwner;
  std::string sGroup;
  if (owner.GetName().empty()) {
    XB_LOG(kLog, 0, "userId[%u] does not exists on current system, wil use id anyway",
           static_cast<unsigned int>(reference.st_uid));
    sOwner = FXString::Format("%u", static_cast<unsigned int>(reference.st_uid));
    sGroup = FXString::Format("%u", static_cast<unsigned int>(reference.st_gid));
  } else {
    sOwner = detail::QuoteWord(owner.GetName());
  }

  const std::string sQuotedTarget = detail::EscapeForDoubleQuotes(sTargetDir);
  std::string sCapturedOut;
  std::string sCapturedErr;
  std::string sCommand = FXString::Format("chown -R %s:%s \"%s\"", sOwner.c_str(),
                                          sGroup.c_str(), sQuotedTarget.c_str());
  XB_LOG(kLog, 2, "The command is [%s]", sCommand.c_str());
  if (ZuProcess::system(sCommand.c_str(), &sCapturedOut, &sCapturedErr, 0, false) != 0) {
    XB_LOG(kLog, 0, "Failed to change the owner of ibdata1 xtrabackup_info and [%s] directory",
           sTargetDir.c_str());
    return XB_FAIL(kLog, "[%s] command failed post file restore:[%s:%s]", sCommand.c_str(),
                   sCapturedOut.c_str(), sCapturedErr.c_str());
  }

  sCapturedOut.clear();
  sCapturedErr.clear();
  sCommand = FXString::Format("chmod -R 0770 \"%s\"", sQuotedTarget.c_str());
  XB_LOG(kLog, 2, "The command is [%s]", sCommand.c_str());
  if (ZuProcess::system(sCommand.c_str(), &sCapturedOut, &sCapturedErr, 0, false) != 0) {
    XB_LOG(kLog, 0, "Failed to change the mode of ibdata1 xtrabackup_info and [%s] directory",
           sTargetDir.c_str());
    return XB_FAIL(kLog, "[%s] command failed post file restore:[%s:%s]", sCommand.c_str(),
                   sCapturedOut.c_str(), sCapturedErr.c_str());
  }
  return CKaError::Success();
}

}  // namespace XtraBackup
