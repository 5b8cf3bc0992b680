// Pure logic of a point-in-time restore: the target, the files from the
// backup's coordinates up to it, and the gaps that refuse it.

#include <cctype>
#include <cstdio>

#include "../Common.h"
#include "../Fs.h"
#include "PointInTime.h"

namespace xbagent {

namespace {

uint64_t NumberOf(const std::string& file, std::string* base) {
  uint64_t number = 0;
  SplitLogName(file, base, &number);
  return number;
}

// The target is reached in this file: an event at or after the time, or
// the GTID's sequence number in its domain.
bool Reaches(const ArchivedFile& file, const PointInTimeTarget& target) {
  if (!target.until.empty()) return !file.lastTime.empty() && file.lastTime >= target.until;
  Gtid wanted, last;
  return ParseGtid(target.untilGtid, &wanted) && ParseGtid(file.lastGtid, &last) &&
         last.domain == wanted.domain && last.seq >= wanted.seq;
}

std::string Coverage(const ArchiveIndex& index, const std::vector<ArchivedFile>& files) {
  std::string text = "the archive's last event is at " +
                     (files.empty() || files.back().lastTime.empty() ? std::string("(none)")
                                                                     : files.back().lastTime);
  if (!files.empty() && !files.back().lastGtid.empty()) text += " (GTID " + files.back().lastGtid + ")";
  if (!index.coveredUntil.empty()) text += ", and it holds every event up to " + index.coveredUntil;
  return text;
}

}  // namespace

bool IsLocalDateTime(const std::string& text) {
  if (text.size() != 19) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char expected = i == 4 || i == 7 ? '-' : i == 10 ? ' ' : i == 13 || i == 16 ? ':' : '0';
    if (expected == '0' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != expected) {
      return false;
    }
  }
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
  std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d", &year, &month, &day, &hour, &minute, &second);
  return year >= 1970 && month >= 1 && month <= 12 && day >= 1 && day <= 31 && hour <= 23 &&
         minute <= 59 && second <= 59;
}

PointInTimeTarget PointInTimeFromOptions(const std::string& binlogs, bool hasUntil,
                                         const std::string& until, bool hasUntilGtid,
                                         const std::string& untilGtid) {
  PointInTimeTarget target;
  if (binlogs.empty()) {
    if (hasUntil || hasUntilGtid) UsageFail("--until and --until-gtid need --binlogs DIR");
    return target;
  }
  if (hasUntil == hasUntilGtid) UsageFail("--binlogs needs one of --until TIME or --until-gtid GTID");
  if (hasUntil && !IsLocalDateTime(until)) {
    UsageFail("--until takes a local time as 'YYYY-MM-DD HH:MM:SS', not '" + until + "'");
  }
  Gtid gtid;
  if (hasUntilGtid && !ParseGtid(untilGtid, &gtid)) {
    UsageFail("--until-gtid takes one GTID as DOMAIN-SERVER-SEQUENCE, not '" + untilGtid + "'");
  }
  target.archiveDir = AbsolutePath(binlogs);
  target.until = hasUntil ? until : std::string();
  target.untilGtid = hasUntilGtid ? untilGtid : std::string();
  return target;
}

BinlogCoordinates CoordinatesOfBackup(const Json& manifest) {
  const Json& binlog = Member(manifest, "binlog");
  BinlogCoordinates from;
  if (!GetString(Member(binlog, "file"), &from.file) || !GetUnsigned(Member(binlog, "position"), &from.position)) {
    Fail("the backup has no binary-log coordinates (binary logging was off when it was taken): "
         "there is no point to replay the archive from");
  }
  GetString(Member(binlog, "gtid"), &from.gtid);
  std::string base;
  uint64_t number = 0;
  if (!SplitLogName(BaseName(from.file), &base, &number)) {
    Fail("the backup's binary-log file '" + from.file + "' is not a binary-log file name");
  }
  from.file = BaseName(from.file);
  return from;
}

ReplayPlan PlanReplay(const PointInTimeTarget& target, const BinlogCoordinates& from,
                      const ArchiveIndex& index) {
  ReplayPlan plan;
  plan.archiveDir = target.archiveDir;
  std::string base;
  const uint64_t first = NumberOf(from.file, &base);
  bool reached = false;
  for (const ArchivedFile& file : index.files) {
    std::string fileBase;
    const uint64_t number = NumberOf(file.file, &fileBase);
    if (fileBase != base || number < first) continue;
    const uint64_t expected = plan.files.empty() ? first : NumberOf(plan.files.back().file, &fileBase) + 1;
    if (number != expected && plan.files.empty()) break;  // the backup's file is not archived
    if (number != expected) {
      Fail("the binary-log archive has a gap: the file after " + plan.files.back().file +
           " (number " + std::to_string(expected) + ") is missing before the target; nothing was "
           "changed");
    }
    plan.files.push_back(file);
    if (Reaches(file, target)) {
      reached = true;
      break;
    }
  }
  if (plan.files.empty()) {
    Fail("the binary-log archive " + target.archiveDir + " does not hold " + from.file +
         ", where the backup's coordinates are; nothing was changed");
  }
  if (!plan.files.back().closed && !reached && !target.until.empty() && !index.coveredUntil.empty() &&
      target.until <= index.coveredUntil) {
    reached = true;  // every event before the target is archived
  }
  if (!reached) {
    Fail("the binary-log archive does not reach the target " +
         (target.until.empty() ? "GTID " + target.untilGtid : target.until) + ": " +
         Coverage(index, plan.files) + "; nothing was changed");
  }
  plan.decoderOptions.push_back("--start-position=" + std::to_string(from.position));
  plan.decoderOptions.push_back(target.until.empty() ? "--stop-position=" + target.untilGtid
                                                     : "--stop-datetime=" + target.until);
  return plan;
}

}  // namespace xbagent
