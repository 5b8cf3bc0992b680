// Phase "clean up": what a failed run leaves before the swap (the shadow
// database; the staging directory goes with its guard), and what earlier
// runs that no longer run left: InnoDB flushing settings left hurried,
// shadow and holding databases and staging directories, found by the run
// identity in their names, and the work tables of older versions
// (xbagent_restore_<pid>_<n>) in the target.

#include <signal.h>
#include <unistd.h>

#include <set>

#include "../Common.h"
#include "../Fs.h"
#include "../HurriedFlushing.h"
#include "../Log.h"
#include "Plan.h"
#include "TableFiles.h"

namespace xbagent {
namespace restore {

namespace {

void Say(const std::string& text) { Log().Notice("xbagent: " + text); }

bool ProcessExists(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

}  // namespace

void CleanUpAfterFailure(Plan& plan) {
  // From the journal on, the swap's own undo decides what goes.
  if (!plan.shadowCreated || plan.journalled) return;
  try {
    std::unique_ptr<SqlConnection> sql = Connect(plan, false);
    DropOwnDatabase(*sql, plan.shadow);
  } catch (const Failure& failure) {
    Log().Notice(std::string("xbagent: warning: ") + failure.what() + " (the next restore removes it)");
  }
}

void RemoveLeftovers(Plan& plan, bool dryRun) {
  PutBackAbandonedFlushing(*plan.sql, dryRun);
  const std::string verb = dryRun ? "would remove " : "removing ";
  // Swaps of dead runs first: finished or undone from their journals.
  ResolveAbandonedSwaps(*plan.sql, dryRun, plan.options.target);
  // Shadows of dead runs that never reached their swap.
  for (const SqlRow& row : plan.sql->Query(
           "SELECT SCHEMA_NAME FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
           "'xbagent#shadow#%'")) {
    const std::string& name = row[0];
    const std::string identity = name.substr(15);
    if (!IsRunIdentity(identity)) continue;
    if (IsRunAlive(identity)) {
      Say("note: database '" + name + "' belongs to a restore still running; left alone");
      continue;
    }
    if (!ListTables(*plan.sql, "xbagent#old#" + identity).empty()) continue;  // its swap's
    Say(verb + "database '" + name + "' left by an earlier restore that no longer runs");
    if (!dryRun) DropOwnDatabase(*plan.sql, name);
  }
  // Staging directories: <tmp>/xbagent-restore.<pid>-<start>.
  const std::string base = ScratchBase();
  std::vector<std::string> entries;
  try {
    entries = ListDirectory(base);
  } catch (const Failure&) {
  }
  const std::string prefix = kStagingPrefix;
  for (const std::string& entry : entries) {
    if (entry.compare(0, prefix.size(), prefix) != 0) continue;
    std::string identity = entry.substr(prefix.size());
    size_t dash = identity.find('-');
    if (dash == std::string::npos) continue;
    identity[dash] = '#';
    if (!IsRunIdentity(identity) || IsRunAlive(identity)) continue;
    const std::string path = JoinPath(base, entry);
    Say(verb + "staging directory " + path + " left by an earlier restore");
    if (!dryRun && RemoveTree(path) != 0) Fail("cannot remove " + path);
  }
  // Work tables of older versions in the target: xbagent_restore_<pid>_<n>.
  for (const SqlRow& row : plan.sql->Query(
           "SELECT TABLE_NAME FROM information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS BINARY) = " +
           SqlBytes(plan.options.target) + " AND TABLE_NAME LIKE 'xbagent\\_restore\\_%'")) {
    long pid = std::atol(row[0].c_str() + 16);
    if (ProcessExists(pid)) continue;
    Say(verb + "work table " + Quoted(plan.options.target) + "." + Quoted(row[0]) +
        " left by an earlier restore");
    if (!dryRun) {
      Exec(plan, *plan.sql, row[0],
           "DROP TABLE " + Quoted(plan.options.target) + "." + Quoted(row[0]));
    }
  }
}

}  // namespace restore
}  // namespace xbagent
