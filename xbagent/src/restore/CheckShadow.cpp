// Phase "check": the shadow holds exactly the backup's tables (each passed
// CHECK TABLE as it was built), and every foreign key that will be pointed at a restored
// table can be, and leaves no row of its table referencing nothing. Then the tried views, triggers and routines are removed
// from the shadow (tables with triggers cannot move to another database).

#include <algorithm>
#include <cstdint>
#include <string>
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

// Rows of an outside table whose key the restored table does not hold:
// after the swap they would reference nothing. Counted against the shadow
// (a row with a NULL in the key references nothing and is not counted).
uint64_t CountOrphans(Plan& plan, const ForeignKey& key) {
  std::string match, notNull;
  for (const SqlRow& row : plan.sql->Query(
           "SELECT COLUMN_NAME, REFERENCED_COLUMN_NAME FROM information_schema.KEY_COLUMN_USAGE "
           "WHERE CAST(CONSTRAINT_SCHEMA AS BINARY) = " + SqlBytes(key.schema) +
           " AND CAST(TABLE_NAME AS BINARY) = " + SqlBytes(key.table) +
           " AND CAST(CONSTRAINT_NAME AS BINARY) = " + SqlBytes(key.name) +
           " AND REFERENCED_TABLE_NAME IS NOT NULL ORDER BY ORDINAL_POSITION")) {
    match += std::string(match.empty() ? "" : " AND ") + "p." + Quoted(row[1]) + " = c." +
             Quoted(row[0]);
    notNull += " AND c." + Quoted(row[0]) + " IS NOT NULL";
  }
  if (match.empty()) return 0;
  const std::string count = plan.sql->Scalar(
      "SELECT COUNT(*) FROM " + Quoted(key.schema) + "." + Quoted(key.table) +
      " c WHERE NOT EXISTS (SELECT 1 FROM " + Quoted(plan.shadow) + "." + Quoted(key.refTable) +
      " p WHERE " + match + ")" + notNull);
  return std::stoull(count);
}

// A restore that would leave rows of an outside table referencing nothing
// is refused, unless --allow-orphans accepts it.
void CheckOrphans(Plan& plan) {
  for (const ForeignKey& key : plan.outsideKeys) {
    const uint64_t orphans = CountOrphans(plan, key);
    if (orphans == 0) continue;
    const std::string what = std::to_string(orphans) + " row(s) of " + Quoted(key.schema) + "." +
                             Quoted(key.table) + " (foreign key " + Quoted(key.name) +
                             ") reference rows the restored " + Quoted(key.refTable) +
                             " does not hold";
    if (!plan.options.allowOrphans) {
      Fail(what + ": the restore would leave them orphaned; restore that table too, or give "
                  "--allow-orphans to accept it");
    }
    Log().Notice("xbagent: warning: " + what + "; they stay orphaned (--allow-orphans)");
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
  if (plan.options.pointInTime.Wanted()) {
    CheckDataMatchesCoordinates(plan.staging, plan.manifest.document);
  }
  CheckEventsCanBeCreated(plan);
  CompareTableLists(plan);
  CheckOutsideKeys(plan);
  CheckOrphans(plan);
  FlushImported(plan);
  DropShadowObjects(plan, *plan.sql);
  CheckpointBeforeSwap(plan);
}

}  // namespace restore
}  // namespace xbagent
