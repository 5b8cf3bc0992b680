// Phase "check": the shadow holds exactly the backup's tables (each passed
// CHECK TABLE as it was built), and every foreign key that will be pointed at a restored
// table can be. Then the tried views, triggers and routines are removed
// from the shadow (tables with triggers cannot move to another database).

#include <algorithm>
#include <set>

#include "../Common.h"
#include "../Log.h"
#include "../InnodbCheckpoint.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

void CompareTableLists(Plan& plan) {
  std::vector<std::string> shadow = ListTables(*plan.sql, plan.shadow);
  std::set<std::string> have(shadow.begin(), shadow.end());
  std::set<std::string> want;
  for (const Table& table : plan.tables) want.insert(table.name);
  for (const std::string& name : want) {
    if (!have.count(name)) Fail("the shadow database lacks table " + Quoted(name));
  }
  for (const std::string& name : have) {
    if (!want.count(name)) {
      Fail("the backup's schema creates table " + Quoted(name) +
           ", which the backup's table list does not hold (was it created or renamed during "
           "the backup?)");
    }
  }
}

// The restored table must have an index that begins with the referenced
// columns, or the key could not be pointed at it.
void CheckOutsideKeys(Plan& plan) {
  for (ForeignKey& key : plan.outsideKeys) {
    key.columns = ForeignKeyColumns(*plan.sql, key, false);
    key.refColumns = ForeignKeyColumns(*plan.sql, key, true);
    std::map<std::string, std::string> indexes;
    for (const SqlRow& row : plan.sql->Query(
             "SELECT INDEX_NAME, COLUMN_NAME FROM information_schema.STATISTICS WHERE "
             "CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(plan.shadow) +
             " AND CAST(TABLE_NAME AS BINARY) = " + SqlBytes(key.refTable) +
             " ORDER BY INDEX_NAME, SEQ_IN_INDEX")) {
      std::string& columns = indexes[row[0]];
      if (!columns.empty()) columns += ", ";
      columns += Quoted(row[1]);
    }
    bool usable = false;
    for (const auto& index : indexes) {
      const std::string& c = index.second;
      if (c.compare(0, key.refColumns.size(), key.refColumns) == 0 &&
          (c.size() == key.refColumns.size() || c[key.refColumns.size()] == ',')) {
        usable = true;
      }
    }
    if (!usable) {
      Fail("foreign key " + Quoted(key.name) + " of " + Quoted(key.schema) + "." +
           Quoted(key.table) + " references (" + key.refColumns + ") of " + Quoted(key.refTable) +
           ", which the restored table has no index on; it could not follow the restore");
    }
  }
}

// The imported tables' pages go to disk now, in the shadow (FLUSH TABLES
// ... FOR EXPORT writes every dirty page of them), so the checkpoint after
// the swap needs little flushing.
void FlushImported(Plan& plan) {
  std::string list;
  for (const Table& table : plan.tables) {
    if (table.kind != Kind::kInnoDb && table.kind != Kind::kFulltext &&
        table.kind != Kind::kPartitioned) {
      continue;
    }
    list += std::string(list.empty() ? "" : ", ") + Quoted(plan.shadow) + "." + Quoted(table.name);
  }
  if (list.empty()) return;
  Exec(plan, *plan.sql, "", "FLUSH TABLES " + list + " FOR EXPORT");
  Exec(plan, *plan.sql, "", "UNLOCK TABLES");
}

// A server started with the event scheduler DISABLED refuses CREATE EVENT:
// found after the swap, that would leave the restore half done.
void CheckEventsCanBeCreated(Plan& plan) {
  if (plan.schema.Count(Object::kEvent) == 0) return;
  if (plan.sql->Scalar("SELECT @@GLOBAL.event_scheduler") == "DISABLED") {
    Fail("the backup holds " + std::to_string(plan.schema.Count(Object::kEvent)) +
         " event(s), and this server runs with event_scheduler=DISABLED, which refuses "
         "CREATE EVENT; start the server with event_scheduler=OFF or ON to restore them");
  }
}

}  // namespace

// Crash recovery from a checkpoint older than the imports would undo them
// in the tables the swap renames (MariaDB applies the pages of the empty
// tables again): the swap waits for a checkpoint past them.
void CheckpointBeforeSwap(Plan& plan) {
  if (!HasInnoDb(plan)) return;
  const double start = MonotonicSeconds();
  const bool reached = WriteInnodbCheckpoint(*plan.sql, kCheckpointWaitSeconds);
  plan.seconds["checkpoint"] += MonotonicSeconds() - start;
  CheckStop("nothing was changed");
  if (!reached) {
    Fail("InnoDB did not write a checkpoint within " + HumanSeconds(kCheckpointWaitSeconds) +
         " after the imports; without one a crash of the server right after the swap could "
         "empty the restored tables");
  }
}

void CheckShadow(Plan& plan) {
  CheckEventsCanBeCreated(plan);
  CompareTableLists(plan);
  CheckOutsideKeys(plan);
  FlushImported(plan);
  DropShadowObjects(plan, *plan.sql);
  CheckpointBeforeSwap(plan);
}

}  // namespace restore
}  // namespace xbagent
