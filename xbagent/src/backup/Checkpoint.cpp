// xbagent backup: making InnoDB write a checkpoint. Until it does, the tool
// leaves out tables imported since the last one; on an idle server with
// default settings that can take minutes.

#include <string>
#include <vector>

#include <time.h>

#include "../Common.h"
#include "../HurriedFlushing.h"
#include "../Log.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

// Innodb_lsn_current and Innodb_lsn_last_checkpoint.
bool ReadLsns(SqlConnection& sql, uint64_t* current, uint64_t* checkpoint) {
  bool haveCurrent = false;
  bool haveCheckpoint = false;
  for (const SqlRow& row :
       sql.Query("SHOW GLOBAL STATUS WHERE Variable_name IN "
                 "('Innodb_lsn_current', 'Innodb_lsn_last_checkpoint')")) {
    if (row.size() < 2) continue;
    if (row[0] == "Innodb_lsn_current") haveCurrent = ParseUnsigned(row[1], current);
    if (row[0] == "Innodb_lsn_last_checkpoint") haveCheckpoint = ParseUnsigned(row[1], checkpoint);
  }
  return haveCurrent && haveCheckpoint;
}

void Pause(double seconds) {
  struct timespec delay;
  delay.tv_sec = static_cast<time_t>(seconds);
  delay.tv_nsec = static_cast<long>((seconds - static_cast<double>(delay.tv_sec)) * 1e9);
  ::nanosleep(&delay, nullptr);
}

}  // namespace

bool ForceCheckpoint(SqlConnection& sql, double timeoutSeconds) {
  uint64_t target = 0;
  uint64_t checkpoint = 0;
  if (!ReadLsns(sql, &target, &checkpoint)) Fail("the server does not report its InnoDB LSNs");
  if (checkpoint >= target) return true;
  FlushSettings before;
  const bool hurried = HurryFlushing(sql, &before);
  const double deadline = MonotonicSeconds() + timeoutSeconds;
  bool reached = false;
  try {
    while (!reached && MonotonicSeconds() < deadline && !StopRequested()) {
      Pause(0.1);
      uint64_t current = 0;
      reached = ReadLsns(sql, &current, &checkpoint) && checkpoint >= target;
    }
  } catch (const Failure&) {
    if (hurried) EndHurriedFlushing(sql, before);
    throw;
  }
  if (hurried) EndHurriedFlushing(sql, before);
  Log().Detail(Verbosity::kVerbose, std::string("InnoDB checkpoint ") +
                                        (reached ? "written" : "not written in time") +
                                        " (LSN " + std::to_string(checkpoint) + " of " +
                                        std::to_string(target) + ")");
  return reached;
}

}  // namespace xbagent
