// Phase "finish", after the swap: the swap's journal is carried out
// (SwapJournal.h): the backup's views, triggers, routines and events are
// created in the target (with --table: only the chosen tables' triggers),
// foreign keys of other tables follow the restored tables, the replaced
// tables, the shadow and the journal are dropped. Then InnoDB writes a
// checkpoint, so a backup taken next sees the imported tablespaces. A stop
// request does not cut these steps short; a failure leaves the journal, and
// the next run against the server finishes the restore from it.

#include "../Common.h"
#include "../InnodbCheckpoint.h"
#include "../Log.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

void Finish(Plan& plan) {
  if (StopRequested()) {
    Log().Notice("xbagent: stop requested after the swap: finishing the restore (its last steps "
                 "are short)");
  }
  std::unique_ptr<SqlConnection> sql = Connect(plan, false);
  try {
    FinishSwap(*sql, plan.journal);
  } catch (const Failure& failure) {
    Fail(std::string(failure.what()) + ". The restored tables are in place in '" +
         plan.options.target + "'; the next xbagent restore --database or backup against this "
         "server finishes the restore from its journal in database '" + plan.holding + "'");
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
