// Before a point-in-time restore changes anything: the archive holds every
// planned file, as its index records it.

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../Sha256.h"
#include "PointInTime.h"

namespace xbagent {

void CheckArchiveFiles(const ReplayPlan& plan) {
  for (const ArchivedFile& file : plan.files) {
    const std::string path = JoinPath(plan.archiveDir, file.file);
    if (!PathExists(path)) {
      Fail("the binary-log archive has a gap: " + file.file + " is listed in its index but " + path +
           " is missing; nothing was changed");
    }
    const uint64_t size = FileSize(path);
    if (size < file.size || (file.closed && size != file.size)) {
      Fail("the archived " + path + " has " + std::to_string(size) + " bytes, its index records " +
           std::to_string(file.size) + "; nothing was changed");
    }
    if (file.closed && !file.sha256.empty() && Sha256OfFile(path, nullptr, nullptr) != file.sha256) {
      Fail("the archived " + path + " differs from the SHA-256 its index records; nothing was changed");
    }
  }
}

ReplayPlan PrepareReplay(const PointInTimeTarget& target, const Json& manifest) {
  if (!IsDirectory(target.archiveDir)) Fail("binary-log archive " + target.archiveDir + " does not exist");
  if (!PathExists(JoinPath(target.archiveDir, kArchiveIndexFile))) {
    Fail(target.archiveDir + " has no " + kArchiveIndexFile + ": not an archive of xbagent binlog-archive");
  }
  ReplayPlan plan = PlanReplay(target, CoordinatesOfBackup(manifest), LoadArchiveIndex(target.archiveDir));
  CheckArchiveFiles(plan);
  Log().Notice("xbagent: replaying " + std::to_string(plan.files.size()) + " archived binary log(s) from " +
               plan.files.front().file + " up to " +
               (target.until.empty() ? "GTID " + target.untilGtid : target.until));
  return plan;
}

}  // namespace xbagent
