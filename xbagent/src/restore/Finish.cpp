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
#include "../InnodbCheckpoint.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

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


}  // namespace

void Finish(Plan& plan) {
  std::unique_ptr<SqlConnection> sql = Connect(plan, false);
  const std::string holding = plan.swappedOut.empty()
                                  ? std::string()
                                  : "; the replaced tables are kept in database '" + plan.holding + "'";
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
  if (!HasInnoDb(plan)) return;
  const double start = MonotonicSeconds();
  const bool reached = WriteInnodbCheckpoint(*sql, kCheckpointWaitSeconds);
  plan.seconds["checkpoint"] += MonotonicSeconds() - start;
  if (!reached) {
    Log().Notice(std::string("xbagent: warning: ") +
                 (StopRequested() ? "interrupted while waiting for the InnoDB checkpoint"
                                  : "InnoDB did not write a checkpoint within " +
                                        HumanSeconds(kCheckpointWaitSeconds)) +
                 "; the restore is complete, but a backup taken before the next checkpoint may "
                 "leave out the restored tables");
  }
}

}  // namespace restore
}  // namespace xbagent
