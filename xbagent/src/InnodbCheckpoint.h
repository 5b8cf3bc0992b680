#pragma once

// Making InnoDB write a checkpoint that covers its log as it ends now: a
// restore needs one before its swap and after it, a backup for its one retry
// after the tool left out freshly imported tables.
//
// A checkpoint covers the log up to its LSN, and writing one appends a
// FILE_CHECKPOINT record (16 bytes; 24 when the log is encrypted) past that
// LSN. On an idle server the log therefore ends that far past the last
// checkpoint for good: the gap holds nothing crash recovery would apply.

#include <cstdint>

#include "Sql.h"

namespace xbagent {

// Whether a checkpoint at LSN `checkpoint` covers every log record written
// before `target`, now that the log ends at `current` (target <= current).
bool CheckpointCovers(uint64_t target, uint64_t current, uint64_t checkpoint,
                      uint64_t checkpointRecordBytes);

// Makes InnoDB write a checkpoint that covers the log as it ends at the
// call. With few dirty pages, asks for it at once (innodb_log_checkpoint_now,
// where the server has it: the statement flushes them and writes it; an idle
// server may otherwise write none). With more, hurries flushing
// (HurriedFlushing.h) until they are few, then asks. Waits at most
// timeoutSeconds, less when a stop is requested. True when covered.
bool WriteInnodbCheckpoint(SqlConnection& sql, double timeoutSeconds);

}  // namespace xbagent
