#include <cerrno>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/FXString.h>
#include <ZuLib/ZuPwEnt.h>

#include "NoFollowFiles.h"
#include "OperationLog.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog(
    "CKaError XtraBackup::XtraBackupUtil::ChangeDBDirOwner(const string&, const string&)");

constexpr mode_t kRestoredMode = 0770;

// The login group of the account `name`, as "chown NAME:" gives it; `fallback`
// when the name no longer resolves.
gid_t LoginGroupOf(const std::string& name, gid_t fallback) {
  long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 1024);
  struct passwd entry;
  struct passwd* found = nullptr;
  while (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
         buffer.size() < (1u << 20)) {
    buffer.resize(buffer.size() * 2);
  }
  return found != nullptr ? found->pw_gid : fallback;
}

// Why the arguments cannot name the directories, or empty when they can.
std::string InvalidArgument(const std::string& sServerDataDir, const std::string& sTargetDir) {
  if (sTargetDir.empty()) return "the target directory is empty";
  if (detail::HoldsNul(sTargetDir)) return "the target directory holds a NUL character";
  if (detail::HoldsNul(sServerDataDir)) return "the data directory holds a NUL character";
  return std::string();
}

}  // namespace

CKaError XtraBackupUtil::ChangeDBDirOwner(const std::string& sServerDataDir,
                                          const std::string& sTargetDir) {
  const std::string sInvalid = InvalidArgument(sServerDataDir, sTargetDir);
  if (!sInvalid.empty()) {
    XB_LOG(kLog, 0, "Nothing was changed: %s", sInvalid.c_str());
    return XB_FAIL(kLog, "XtraBackupUtil::ChangeDBDirOwner failed: %s", sInvalid.c_str());
  }
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
  gid_t group = reference.st_gid;
  if (owner.GetName().empty()) {
    XB_LOG(kLog, 0, "userId[%u] does not exists on current system, wil use id anyway",
           static_cast<unsigned int>(reference.st_uid));
    sOwner = FXString::Format("%u", static_cast<unsigned int>(reference.st_uid));
    sGroup = FXString::Format("%u", static_cast<unsigned int>(reference.st_gid));
  } else {
    sOwner = owner.GetName();
    group = LoginGroupOf(sOwner, reference.st_gid);
  }

  // Done through descriptors, never through a link: the target must be a real
  // directory (below the data directory, each step of the way, when it lies
  // there), and links inside it get the owner themselves, not their targets.
  XB_LOG(kLog, 2, "Giving [%s] and everything in it the owner [%s:%s] and the mode 0770",
         sTargetDir.c_str(), sOwner.c_str(), sGroup.c_str());
  detail::Fd target;
  std::string sReason;
  bool bOwnerStep = true;
  int nErr = detail::OpenDirectoryNoFollow(sServerDataDir, sTargetDir, &target, &sReason);
  if (nErr == 0) {
    nErr = detail::ChangeTreeOwnerAndMode(target.Get(), sTargetDir, reference.st_uid, group,
                                          kRestoredMode, &sReason, &bOwnerStep);
  }
  if (nErr != 0 && bOwnerStep) {
    XB_LOG(kLog, 0, "Failed to change the owner of ibdata1 xtrabackup_info and [%s] directory",
           sTargetDir.c_str());
    return XB_FAIL(kLog, "owner change to [%s:%s] failed post file restore:[%s]", sOwner.c_str(),
                   sGroup.c_str(), sReason.c_str());
  }
  if (nErr != 0) {
    XB_LOG(kLog, 0, "Failed to change the mode of ibdata1 xtrabackup_info and [%s] directory",
           sTargetDir.c_str());
    return XB_FAIL(kLog, "mode change to 0770 failed post file restore:[%s]", sReason.c_str());
  }
  return CKaError::Success();
}

}  // namespace XtraBackup
