// An InnoDB checkpoint past the restore's imports. Needed twice: before the
// swap, since the server's crash recovery from a checkpoint older than an
// IMPORT TABLESPACE followed by a RENAME TABLE of the imported table leaves
// the table empty (MariaDB 10.11: the pages of the empty table it was created
// as are applied again); and after the restore, since a backup taken before
// the next checkpoint leaves out the imported tables.

#include <unistd.h>

#include "../Common.h"
#include "../HurriedFlushing.h"
#include "../Log.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

uint64_t StatusNumber(SqlConnection& sql, const std::string& name) {
  std::vector<SqlRow> rows = sql.Query("SHOW GLOBAL STATUS LIKE '" + name + "'");
  uint64_t value = 0;
  if (rows.empty() || rows[0].size() < 2 || !ParseUnsigned(rows[0][1], &value)) return 0;
  return value;
}

}  // namespace

bool HasInnoDb(const Plan& plan) {
  for (const Table& table : plan.tables) {
    if (table.kind == Kind::kInnoDb || table.kind == Kind::kFulltext ||
        table.kind == Kind::kPartitioned) {
      return true;
    }
  }
  return false;
}

// Dirty pages are flushed at once for a moment (see HurriedFlushing.h),
// then the settings go back to what they were.
bool WriteCheckpoint(SqlConnection& sql) {
  const uint64_t end = StatusNumber(sql, "Innodb_lsn_current");
  if (end == 0) return false;
  FlushSettings before;
  const bool hurried = HurryFlushing(sql, &before);
  const double start = MonotonicSeconds();
  bool reached = false;
  try {
    while (!reached && MonotonicSeconds() - start < kCheckpointWaitSeconds && !StopRequested()) {
      reached = StatusNumber(sql, "Innodb_lsn_last_checkpoint") >= end;
      if (!reached) ::usleep(100000);
    }
  } catch (const Failure&) {
    if (hurried) EndHurriedFlushing(sql, before);
    throw;
  }
  if (hurried) EndHurriedFlushing(sql, before);
  return reached;
}

}  // namespace restore
}  // namespace xbagent
