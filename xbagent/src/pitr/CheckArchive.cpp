// Before a point-in-time restore changes anything: the archive holds every
// planned file, as its index records it.

#include <ctime>

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

namespace {

// "2026-12-08T05:45:32Z" as the local "2026-12-08 05:45:32"; "" when unreadable.
std::string LocalFromUtc(const std::string& utc) {
  struct tm parsed = {};
  if (::strptime(utc.c_str(), "%Y-%m-%dT%H:%M:%SZ", &parsed) == nullptr) return std::string();
  std::time_t seconds = ::timegm(&parsed);
  struct tm local;
  ::localtime_r(&seconds, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// A target the backup has already passed cannot be reached by replaying
// forward from it.
void CheckTargetAfterBackup(const PointInTimeTarget& target, const Json& manifest,
                            const BinlogCoordinates& from) {
  std::string started;
  GetString(Member(manifest, "started_at"), &started);
  const std::string local = LocalFromUtc(started);
  if (!target.until.empty() && !local.empty() && target.until < local) {
    Fail("the target " + target.until + " is before the backup was started (" + local +
         ", local time): use an older backup; nothing was changed");
  }
  Gtid wanted;
  if (target.untilGtid.empty() || !ParseGtid(target.untilGtid, &wanted)) return;
  size_t start = 0;
  while (start <= from.gtid.size()) {
    size_t comma = from.gtid.find(',', start);
    Gtid seen;
    if (ParseGtid(Trim(from.gtid.substr(start, comma == std::string::npos ? comma : comma - start)), &seen) &&
        seen.domain == wanted.domain && seen.seq >= wanted.seq) {
      Fail("the backup already holds GTID " + target.untilGtid + " (its position is " + from.gtid +
           "): use an older backup; nothing was changed");
    }
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
}

}  // namespace

ReplayPlan PrepareReplay(const PointInTimeTarget& target, const Json& manifest) {
  if (!IsDirectory(target.archiveDir)) Fail("binary-log archive " + target.archiveDir + " does not exist");
  if (!PathExists(JoinPath(target.archiveDir, kArchiveIndexFile))) {
    Fail(target.archiveDir + " has no " + kArchiveIndexFile + ": not an archive of xbagent binlog-archive");
  }
  const BinlogCoordinates from = CoordinatesOfBackup(manifest);
  CheckTargetAfterBackup(target, manifest, from);
  ReplayPlan plan = PlanReplay(target, from, LoadArchiveIndex(target.archiveDir));
  CheckArchiveFiles(plan);
  Log().Notice("xbagent: replaying " + std::to_string(plan.files.size()) + " archived binary log(s) from " +
               plan.files.front().file + " up to " +
               (target.until.empty() ? "GTID " + target.untilGtid : target.until));
  return plan;
}

}  // namespace xbagent
