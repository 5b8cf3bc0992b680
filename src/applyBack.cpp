#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>
#include <KaUtils/CKaPath.h>
#include <KaUtils/FXString.h>
#include <MySqlCommon/GetMySqlInfo.h>

#include <fcntl.h>
#include <sys/stat.h>

#include "NoFollowFiles.h"
#include "OperationLog.h"

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

// Why the arguments cannot name the files to copy, or empty when they can.
// A NUL would cut a name or path short, and an empty database name would make
// the data directory itself the destination.
std::string InvalidArgument(const std::string& sDBName, const std::string& sStagingDir,
                            const std::string& sServerDataDir, const XtraMetaData& meta) {
  if (sDBName.empty()) return "the database name is empty";
  if (detail::HoldsNul(sDBName)) return "the database name holds a NUL character";
  if (detail::HoldsNul(sStagingDir)) return "the staging directory holds a NUL character";
  if (detail::HoldsNul(sServerDataDir)) return "the data directory holds a NUL character";
  for (const MySQLMetaData& table : meta.tableList) {
    if (!IsAppliedTable(table)) continue;
    if (table.sTableName.empty()) return "a table name is empty";
    if (detail::HoldsNul(table.sTableName)) return "a table name holds a NUL character";
  }
  return std::string();
}

// The two open database directories and their paths as text.
struct Directories {
  detail::Fd source;
  int sourceErr = 0;
  std::string sourceReason;
  std::string sourceText;
  detail::Fd dest;
  std::string destText;
};

// The names of one table's files with `suffix` in the source directory: the
// one file, or a partitioned table's per-partition files. ENOENT when there
// are none.
int FilesOf(const Directories& dirs, const std::string& sStem, bool bPartitioned,
            const std::string& suffix, std::vector<std::string>* names, std::string* reason) {
  if (!dirs.source.Valid()) {
    *reason = dirs.sourceReason;
    return dirs.sourceErr;
  }
  if (!bPartitioned) {
    names->assign(1, sStem + suffix);
    struct stat st;
    if (::fstatat(dirs.source.Get(), names->front().c_str(), &st, 0) == 0) return 0;
    *reason = dirs.sourceText + "/" + names->front() + ": " + std::strerror(errno);
    return errno;
  }
  if (int err = detail::ListMatching(dirs.source.Get(), sStem + "#", suffix, names, reason)) {
    return err;
  }
  if (!names->empty()) return 0;
  *reason = dirs.sourceText + "/" + sStem + "#*" + suffix + ": no such file";
  return ENOENT;
}

// Copies every file of one table with `suffix`; the first failure ends it.
// `absent` tells a table without such a file from a copy that failed.
int CopyTableFiles(const Directories& dirs, const std::string& sStem, bool bPartitioned,
                   const std::string& suffix, bool* absent, std::string* reason) {
  XB_LOG(kApplyLog, 2, "Copying [%s/%s%s%s] to [%s/]", dirs.sourceText.c_str(), sStem.c_str(),
         bPartitioned ? "#*" : "", suffix.c_str(), dirs.destText.c_str());
  std::vector<std::string> names;
  int err = FilesOf(dirs, sStem, bPartitioned, suffix, &names, reason);
  *absent = err == ENOENT;
  if (err != 0) return err;
  for (const std::string& name : names) {
    err = detail::CopyFileInto(dirs.source.Get(), dirs.sourceText, name, dirs.dest.Get(),
                                   dirs.destText, reason);
    if (err != 0) return err;
  }
  return 0;
}

}  // namespace

void XtraBackupUtil::convertSpecialCharsToHexChars(std::string sName, std::string& sHexName) {
  XB_LOG(kConvertLog, 5, "Trying to convert: %s", sName.c_str());
  sHexName = GetMySqlInfo::getMySqlHexName(sName);
  XB_LOG(kConvertLog, 5, "Converted db name: %s", sHexName.c_str());
}

CKaError XtraBackupUtil::applyBack(std::string sDBName, std::string sStagingDir,
                                   std::string sServerDataDir, XtraMetaData metaDataArg) {
  const std::string sInvalid = InvalidArgument(sDBName, sStagingDir, sServerDataDir, metaDataArg);
  if (!sInvalid.empty()) {
    XB_LOG(kApplyLog, 0, "Nothing was copied: %s", sInvalid.c_str());
    return XB_FAIL(kApplyLog, "XtraBackupUtil::applyBack failed: %s", sInvalid.c_str());
  }
  std::string sEncodedDB;
  convertSpecialCharsToHexChars(sDBName, sEncodedDB);
  Directories dirs;
  dirs.destText = CKaPath::Append(sServerDataDir.c_str(), sEncodedDB.c_str());
  dirs.sourceText = CKaPath::Append(sStagingDir.c_str(), sEncodedDB.c_str());
  XB_LOG(kApplyLog, 2, "[%s] --> [%s]", dirs.sourceText.c_str(), dirs.destText.c_str());

  // The destination must be a real directory of the data directory: a link
  // there would send the files, and the owner and mode change, elsewhere.
  std::string sReason;
  if (detail::OpenDirectoryNoFollow(sServerDataDir, dirs.destText, &dirs.dest, &sReason) != 0) {
    XB_LOG(kApplyLog, 0, "Nothing was copied: the destination is not a usable directory: %s",
           sReason.c_str());
    return XB_FAIL(kApplyLog, "XtraBackupUtil::applyBack failed: %s", sReason.c_str());
  }
  // The staging directory is the caller's own: links in it are followed.
  dirs.source = detail::Fd(::open(dirs.sourceText.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirs.source.Valid()) {
    dirs.sourceErr = errno;
    dirs.sourceReason = dirs.sourceText + ": " + std::strerror(errno);
  }

  for (const MySQLMetaData& table : metaDataArg.tableList) {
    if (!IsAppliedTable(table)) continue;
    std::string sStem;
    convertSpecialCharsToHexChars(table.sTableName, sStem);

    bool bAbsent = false;
    if (CopyTableFiles(dirs, sStem, table.bPartitioned, ".ibd", &bAbsent, &sReason) != 0) {
      XB_LOG(kApplyLog, 0, "Failed to copy .ibd file");
      XB_LOG(kApplyLog, 0, "%s", sReason.c_str());
      return XB_FAIL(kApplyLog, "XtraBackupUtil::applyBack failed");
    }
    // A table may be imported without its .cfg, so an absent one is passed
    // over; one that exists but cannot be copied whole fails the call.
    if (CopyTableFiles(dirs, sStem, table.bPartitioned, ".cfg", &bAbsent, &sReason) != 0) {
      std::string sCfgPath = FXString::Format("%s/%s%s.cfg", dirs.sourceText.c_str(),
                                              sStem.c_str(), table.bPartitioned ? "#*" : "");
      XB_LOG(kApplyLog, 0, "Could not copy %s file to %s.", sCfgPath.c_str(),
             dirs.destText.c_str());
      if (!bAbsent) {
        return XB_FAIL(kApplyLog, "XtraBackupUtil::applyBack failed: %s", sReason.c_str());
      }
    }
  }
  return ChangeDBDirOwner(sServerDataDir, dirs.destText);
}

}  // namespace XtraBackup
