// Phase "finish", after the swap: foreign keys of other tables follow the
// restored tables; the backup's views, triggers, routines and events are
// created in the target (with --table: only the chosen tables' triggers);
// the replaced tables (in the holding database) and the empty shadow are
// dropped; InnoDB writes a checkpoint, so a backup taken next sees the
// imported tablespaces. A failure here says what is left; a rerun with
// --replace finishes the restore.

#include <unistd.h>

#include <functional>

#include "../Common.h"
#include "../Log.h"
#include "Plan.h"
#include "RemoteTables.h"

namespace xbagent {
namespace restore {

namespace {

constexpr double kCheckpointWaitSeconds = 60;

// A full restore: the target's own views, routines and events go; the
// backup's take their place.
void DropTargetObjects(Plan& plan, SqlConnection& sql) {
  const std::string db = Quoted(plan.options.target);
  const std::string match = " = " + SqlBytes(plan.options.target);
  for (const SqlRow& row : sql.Query("SELECT TABLE_NAME FROM information_schema.VIEWS WHERE "
                                     "CAST(TABLE_SCHEMA AS BINARY)" + match)) {
    Exec(plan, sql, "", "DROP VIEW " + db + "." + Quoted(row[0]));
  }
  for (const SqlRow& row : sql.Query("SELECT ROUTINE_TYPE, ROUTINE_NAME FROM "
                                     "information_schema.ROUTINES WHERE "
                                     "CAST(ROUTINE_SCHEMA AS BINARY)" + match)) {
    Exec(plan, sql, "", "DROP " + row[0] + " " + db + "." + Quoted(row[1]));
  }
  for (const SqlRow& row : sql.Query("SELECT EVENT_NAME FROM information_schema.EVENTS WHERE "
                                     "CAST(EVENT_SCHEMA AS BINARY)" + match)) {
    Exec(plan, sql, "", "DROP EVENT " + db + "." + Quoted(row[0]));
  }
}

void CreateObjects(Plan& plan) {
  std::unique_ptr<SqlConnection> sql = Connect(plan, false);
  if (plan.options.tables.empty()) DropTargetObjects(plan, *sql);
  sql->Query("USE " + Quoted(plan.options.target));
  ApplySchema(plan, *sql, Where::kTarget, plan.options.target, false);
}

uint64_t StatusNumber(SqlConnection& sql, const std::string& name) {
  std::vector<SqlRow> rows = sql.Query("SHOW GLOBAL STATUS LIKE '" + name + "'");
  uint64_t value = 0;
  if (rows.empty() || rows[0].size() < 2 || !ParseUnsigned(rows[0][1], &value)) return 0;
  return value;
}

// InnoDB writes a checkpoint past the end of the restore: dirty pages are
// flushed at once for a moment (innodb_max_dirty_pages_pct = 0, at
// innodb_io_capacity_max), then the settings go back to what they were.
void WaitForCheckpoint(Plan& plan, SqlConnection& sql) {
  const uint64_t end = StatusNumber(sql, "Innodb_lsn_current");
  if (end == 0) return;
  std::vector<SqlRow> old =
      sql.Query("SELECT @@GLOBAL.innodb_max_dirty_pages_pct, @@GLOBAL.innodb_io_capacity");
  if (old.empty() || old[0].size() < 2) return;
  try {
    sql.Query("SET GLOBAL innodb_max_dirty_pages_pct = 0, "
              "innodb_io_capacity = @@GLOBAL.innodb_io_capacity_max");
  } catch (const Failure& failure) {
    Log().Notice(std::string("xbagent: warning: cannot hurry the InnoDB checkpoint (") +
                 failure.what() + "); a backup taken before it may leave out restored tables");
    return;
  }
  const double start = MonotonicSeconds();
  bool reached = false;
  while (MonotonicSeconds() - start < kCheckpointWaitSeconds && !StopRequested()) {
    if (StatusNumber(sql, "Innodb_lsn_last_checkpoint") >= end) {
      reached = true;
      break;
    }
    ::usleep(100000);
  }
  sql.Query("SET GLOBAL innodb_max_dirty_pages_pct = " + old[0][0] +
            ", innodb_io_capacity = " + old[0][1]);
  plan.seconds["checkpoint"] = MonotonicSeconds() - start;
  if (!reached) {
    Log().Notice(std::string("xbagent: warning: ") +
                 (StopRequested() ? "interrupted while waiting for the InnoDB checkpoint"
                                  : "InnoDB did not write a checkpoint within " +
                                        HumanSeconds(kCheckpointWaitSeconds)) +
                 "; the restore is complete, but a backup taken before the next checkpoint may "
                 "leave out the restored tables");
  }
}

bool HasInnoDb(const Plan& plan) {
  for (const Table& table : plan.tables) {
    if (table.kind == Kind::kInnoDb || table.kind == Kind::kFulltext ||
        table.kind == Kind::kPartitioned) {
      return true;
    }
  }
  return false;
}

}  // namespace

void Finish(Plan& plan) {
  std::unique_ptr<SqlConnection> sql = Connect(plan, false);
  const std::string holding = plan.swappedOut.empty()
                                  ? std::string()
                                  : "; the replaced tables are kept in database '" + plan.holding + "'" +
                                        (plan.remoteOut.empty() ? std::string()
                                                                : " (those with DATA DIRECTORY in '" +
                                                                      plan.options.target + "' as xbagent#old#...)");
  struct Step {
    const char* what;
    std::function<void()> run;
  };
  std::vector<Step> steps = {
      {"point foreign keys of other tables at the restored tables",
       [&] { RepointForeignKeys(plan, *sql); }},
      {"create views, triggers, routines and events", [&] { CreateObjects(plan); }},
      {"drop the replaced tables",
       [&] {
         std::string error;
         for (const auto& remote : plan.remoteOut) {
           if (!DropHiddenTable(plan, plan.options.target, remote.second, &error)) Fail(error);
         }
         if (!plan.swappedOut.empty() && !DropOwnDatabase(plan, plan.holding, &error)) Fail(error);
       }},
      {"drop the shadow database",
       [&] {
         std::string error;
         if (!DropOwnDatabase(plan, plan.shadow, &error)) Fail(error);
       }},
  };
  for (size_t i = 0; i < steps.size(); ++i) {
    try {
      steps[i].run();
    } catch (const Failure& failure) {
      std::string left;
      for (size_t j = i; j < steps.size(); ++j) left += std::string(left.empty() ? "" : "; ") + steps[j].what;
      Fail(std::string(failure.what()) + ". The restored tables are in place in '" +
           plan.options.target + "'; not done: " + left + (i <= 2 ? holding : std::string()) +
           ". Rerun the restore with --replace to finish it");
    }
  }
  if (HasInnoDb(plan)) WaitForCheckpoint(plan, *sql);
}

}  // namespace restore
}  // namespace xbagent
