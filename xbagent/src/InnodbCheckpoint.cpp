#include "InnodbCheckpoint.h"

#include <time.h>

#include <string>

#include "Commands.h"
#include "Common.h"
#include "HurriedFlushing.h"
#include "Log.h"

namespace xbagent {

namespace {

constexpr uint64_t kCheckpointRecordBytes = 16;
constexpr uint64_t kEncryptedLogExtraBytes = 8;  // the record's nonce
constexpr long kPollNanoseconds = 100 * 1000 * 1000;
// Dirty pages few enough for the server to flush at once, inside the
// statement that asks for a checkpoint (16 MiB of 16 KiB pages). More are
// left to the page cleaner, hurried, since the statement cannot be stopped.
constexpr uint64_t kFewDirtyPages = 1024;

struct LogState {
  uint64_t current = 0;     // Innodb_lsn_current
  uint64_t checkpoint = 0;  // Innodb_lsn_last_checkpoint
  uint64_t dirtyPages = 0;  // Innodb_buffer_pool_pages_dirty
};

LogState ReadLogState(SqlConnection& sql) {
  LogState state;
  int found = 0;
  for (const SqlRow& row :
       sql.Query("SHOW GLOBAL STATUS WHERE Variable_name IN ('Innodb_lsn_current', "
                 "'Innodb_lsn_last_checkpoint', 'Innodb_buffer_pool_pages_dirty')")) {
    if (row.size() < 2) continue;
    uint64_t* field = row[0] == "Innodb_lsn_current"           ? &state.current
                      : row[0] == "Innodb_lsn_last_checkpoint" ? &state.checkpoint
                      : row[0] == "Innodb_buffer_pool_pages_dirty" ? &state.dirtyPages
                                                                   : nullptr;
    if (field != nullptr && ParseUnsigned(row[1], field)) ++found;
  }
  if (found != 3 || state.current == 0) Fail("the server does not report its InnoDB log sequence numbers");
  return state;
}

uint64_t CheckpointRecordBytes(SqlConnection& sql) {
  const std::string encrypted = sql.Scalar("SELECT @@GLOBAL.innodb_encrypt_log");
  return kCheckpointRecordBytes + (encrypted == "1" ? kEncryptedLogExtraBytes : 0);
}

// The server writes a checkpoint before the statement returns (quickly when
// nothing is left to flush). False where it cannot: older servers have no
// such variable.
bool AskCheckpointNow(SqlConnection& sql) {
  try {
    sql.Query("SET GLOBAL innodb_log_checkpoint_now = ON");
    return true;
  } catch (const Failure& failure) {
    Log().Detail(Verbosity::kVerbose,
                 std::string("cannot ask InnoDB for a checkpoint at once: ") + failure.what());
    return false;
  }
}

void Pause() {
  struct timespec pause = {0, kPollNanoseconds};
  ::nanosleep(&pause, nullptr);
}

}  // namespace

bool CheckpointCovers(uint64_t target, uint64_t current, uint64_t checkpoint,
                      uint64_t checkpointRecordBytes) {
  return checkpoint >= target || (current >= checkpoint && current - checkpoint <= checkpointRecordBytes);
}

bool WriteInnodbCheckpoint(SqlConnection& sql, double timeoutSeconds) {
  const LogState start = ReadLogState(sql);
  const uint64_t recordBytes = CheckpointRecordBytes(sql);
  if (CheckpointCovers(start.current, start.current, start.checkpoint, recordBytes)) return true;
  bool canAsk = true;
  LogState now = start;
  if (start.dirtyPages <= kFewDirtyPages && (canAsk = AskCheckpointNow(sql))) {
    now = ReadLogState(sql);
    if (CheckpointCovers(start.current, now.current, now.checkpoint, recordBytes)) {
      Log().Detail(Verbosity::kVerbose, "InnoDB checkpoint written at once (LSN " +
                                            std::to_string(now.checkpoint) + ")");
      return true;
    }
  }
  FlushSettings before;
  const bool hurried = HurryFlushing(sql, &before);
  const double deadline = MonotonicSeconds() + timeoutSeconds;
  bool reached = false;
  try {
    while (MonotonicSeconds() < deadline && !StopRequested()) {
      now = ReadLogState(sql);
      reached = CheckpointCovers(start.current, now.current, now.checkpoint, recordBytes);
      if (reached) break;
      if (now.dirtyPages <= kFewDirtyPages && canAsk) canAsk = AskCheckpointNow(sql);
      Pause();
    }
  } catch (const Failure&) {
    if (hurried) EndHurriedFlushing(sql, before);
    throw;
  }
  if (hurried) EndHurriedFlushing(sql, before);
  Log().Detail(Verbosity::kVerbose, std::string("InnoDB checkpoint ") +
                                        (reached ? "written" : "not written in time") + " (LSN " +
                                        std::to_string(now.checkpoint) + ", log end " +
                                        std::to_string(start.current) + ")");
  return reached;
}

}  // namespace xbagent
