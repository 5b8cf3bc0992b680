// Phase "swap": one multi-table RENAME TABLE, atomic in the server, moves
// the target's tables out to the holding database xbagent#old#<run> and the
// shadow's tables in; partitioned tables are exchanged partition by
// partition just before it (Partitions.cpp). Before anything in the target changes, the holding
// database gets the swap's journal (SwapJournal.h): if this run dies, the
// next run against the server finishes or undoes the swap from it. A table
// with triggers cannot move to another database: the triggers of the tables
// moving out are journalled, then dropped just before the rename, and put
// back when it fails. From the journal on, a stop request waits for the
// restore to end: its last steps are short.

#include <algorithm>

#include "../Common.h"
#include "../Log.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

const char* ObjectKind(Object object) {
  switch (object) {
    case Object::kView: return "view";
    case Object::kTrigger: return "trigger";
    case Object::kRoutine: return "routine";
    case Object::kEvent: return "event";
    default: return "other";
  }
}

// A CREATE VIEW followed by another of the same name is the schema's
// placeholder (a view of NULL columns): never created in the target.
bool IsPlaceholderView(const std::vector<SchemaStatement>& statements, size_t i) {
  const SchemaStatement& s = statements[i];
  if (s.object != Object::kView || !s.create) return false;
  return std::any_of(statements.begin() + static_cast<long>(i) + 1, statements.end(),
                     [&](const SchemaStatement& later) {
                       return later.object == Object::kView && later.create && later.name == s.name;
                     });
}

// The statements Finish runs in the target, each with the session
// statements before it, references to the backup's database made
// references to the target.
std::vector<ObjectStatement> TargetStatements(const Plan& plan) {
  const std::vector<std::string>& chosen = plan.options.tables;
  const std::vector<SchemaStatement>& all = plan.schema.statements;
  std::vector<ObjectStatement> objects;
  std::vector<std::string> prelude;
  for (size_t i = 0; i < all.size(); ++i) {
    const SchemaStatement& s = all[i];
    std::string text = plan.options.target == plan.options.database
                           ? s.text
                           : RenameDatabase(s.text, plan.options.database, plan.options.target);
    if (s.where == Where::kSession) {
      prelude.push_back(text);
      continue;
    }
    if (s.where != Where::kTarget || IsPlaceholderView(all, i)) continue;
    // --table: of the objects only the triggers of the chosen tables.
    if (!chosen.empty() && (s.object != Object::kTrigger ||
                            std::find(chosen.begin(), chosen.end(), s.onTable) == chosen.end())) {
      continue;
    }
    objects.push_back({ObjectKind(s.object), s.name, prelude, text});
    prelude.clear();
  }
  return objects;
}

SwapJournal MakeJournal(const Plan& plan) {
  SwapJournal journal;
  journal.run = plan.identity;
  journal.target = plan.options.target;
  journal.shadow = plan.shadow;
  journal.holding = plan.holding;
  journal.createdTarget = !plan.targetExists;
  journal.replaceObjects = plan.options.tables.empty();
  for (const std::string& name : plan.swappedOut) {
    if (!Exchanged(plan, name)) journal.out.push_back(name);
  }
  for (const Table& table : plan.tables) {
    if (!Exchanged(plan, table.name)) journal.in.push_back(table.name);
  }
  journal.exchanged = plan.exchanged;
  journal.objects = TargetStatements(plan);
  return journal;
}

std::string RenameStatement(const Plan& plan) {
  const std::string target = Quoted(plan.options.target);
  std::string rename;
  for (const std::string& name : plan.journal.out) {
    rename += std::string(rename.empty() ? "" : ", ") + target + "." + Quoted(name) + " TO " +
              Quoted(plan.holding) + "." + Quoted(name);
  }
  for (const std::string& name : plan.journal.in) {
    rename += std::string(rename.empty() ? "" : ", ") + Quoted(plan.shadow) + "." +
              Quoted(name) + " TO " + target + "." + Quoted(name);
  }
  return rename.empty() ? rename : "RENAME TABLE " + rename;
}

std::string Names(const std::vector<SavedTrigger>& triggers) {
  std::vector<std::string> names;
  for (const SavedTrigger& trigger : triggers) names.push_back(trigger.name);
  return JoinNames(names, 10);
}

// The swap failed after its journal: what the target is now, said exactly.
// Returns when the rename had in fact happened and the restore goes on.
void AfterFailedSwap(Plan& plan, const std::string& error, const std::vector<SavedTrigger>& dropped) {
  const std::string next = "; the next xbagent restore --database or backup against this server "
                           "finishes or undoes the swap from its journal in database '" +
                           plan.holding + "'";
  std::unique_ptr<SqlConnection> sql;
  try {
    sql = Connect(plan, false);
  } catch (const Failure& failure) {
    Fail(error + "; the server cannot be reached to undo the swap (" + failure.what() + "): '" +
         plan.options.target + "' may be " +
         (dropped.empty() ? std::string("changed") : "without its triggers " + Names(dropped)) + next);
  }
  std::string detail;
  const SwapState state = InspectSwap(*sql, plan.journal, &detail);
  if (state == SwapState::kMixed) {
    Fail(error + "; '" + plan.options.target + "' is in neither its old nor its new state (" +
         detail + "); nothing of it was removed" + next);
  }
  if (state == SwapState::kAfter) {
    Log().Notice("xbagent: the swap was reported as failed (" + error + ") but it happened; going on");
    return;
  }
  const std::string problems = UndoSwap(*sql, plan.journal);
  if (!problems.empty()) Fail(error + "; " + problems + next);
  Fail(error + "; nothing was changed");
}

}  // namespace

void Swap(Plan& plan) {
  CheckStop("nothing was changed");
  StagePartitions(plan, *Connect(plan));
  CheckStop("nothing was changed");
  plan.journal = MakeJournal(plan);
  const std::string rename = RenameStatement(plan);
  std::unique_ptr<SqlConnection> sql = Connect(plan, false);
  try {
    RecordSpaces(*sql, &plan.journal);
    WriteSwapJournal(*sql, plan.journal);
  } catch (const Failure& failure) {
    try {
      DropOwnDatabase(*sql, plan.holding);
    } catch (const Failure&) {
    }
    Fail(std::string("cannot write the swap's journal: ") + failure.what());
  }
  plan.journalled = true;
  std::vector<SavedTrigger> dropped;
  try {
    if (!plan.targetExists) {
      Exec(plan, *sql, "", "CREATE DATABASE " + Quoted(plan.options.target) + " " +
                               plan.schema.databaseOptions);
    }
    for (const SavedTrigger& trigger : JournalTriggers(*sql, plan.journal)) {
      Exec(plan, *sql, "", "DROP TRIGGER " + Quoted(plan.options.target) + "." + Quoted(trigger.name));
      dropped.push_back(trigger);
    }
    ExchangePartitions(*sql, plan.journal);
    if (!rename.empty()) Exec(plan, *sql, "", rename);
  } catch (const Failure& failure) {
    AfterFailedSwap(plan, failure.what(), dropped);
  }
  plan.swapped = true;
  try {
    MarkSwapped(*sql, plan.journal);
  } catch (const Failure&) {
    // The next run tells a swap from where the tables are.
  }
  Log().Detail(Verbosity::kVerbose, "swapped " + std::to_string(plan.tables.size()) +
                                        " restored tables into " + Quoted(plan.options.target) +
                                        " (" + std::to_string(plan.exchanged.size()) +
                                        " partitioned, partition by partition)");
}

}  // namespace restore
}  // namespace xbagent
