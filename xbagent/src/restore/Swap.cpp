// Phase "swap": one multi-table RENAME TABLE, atomic in the server, moves
// the target's tables out to the holding database xbagent#old#<run> and the
// shadow's tables in. A table with triggers cannot move to another
// database: the triggers of the tables moving out are dropped just before
// and recreated when the rename fails (the backup's triggers are created in
// Finish). Foreign keys that now reference a table in the holding or the
// shadow database are pointed at the target's table of the same name.

#include "../Common.h"
#include "../Log.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

// The triggers about to be dropped are written first to a journal table in
// the holding database: if this run dies before the rename, the next run
// finds the holding database without moved tables and recreates them.
void JournalTriggers(Plan& plan, const std::vector<SavedTrigger>& saved) {
  if (saved.empty()) return;
  const std::string journal = Quoted(plan.holding) + "." + Quoted(kTriggerJournal);
  Exec(plan, *plan.sql, "", "CREATE TABLE " + journal + " (db VARCHAR(64) NOT NULL, name "
       "VARCHAR(64) NOT NULL, sql_mode TEXT NOT NULL, statement LONGTEXT NOT NULL, charset "
       "VARCHAR(64) NOT NULL, collation VARCHAR(64) NOT NULL) ENGINE=InnoDB");
  for (const SavedTrigger& t : saved) {
    Exec(plan, *plan.sql, "", "INSERT INTO " + journal + " VALUES (" +
         SqlLiteral(plan.options.target) + ", " + SqlLiteral(t.name) + ", " +
         SqlLiteral(t.sqlMode) + ", " + SqlLiteral(t.statement) + ", " + SqlLiteral(t.charset) +
         ", " + SqlLiteral(t.collation) + ")");
  }
}

std::vector<SavedTrigger> DropTargetTriggers(Plan& plan) {
  std::vector<SavedTrigger> saved;
  if (plan.swappedOut.empty()) return saved;
  const std::set<std::string> out(plan.swappedOut.begin(), plan.swappedOut.end());
  const std::string db = Quoted(plan.options.target);
  std::vector<std::string> names;
  for (const SqlRow& row : plan.sql->Query(
           "SELECT TRIGGER_NAME, EVENT_OBJECT_TABLE FROM information_schema.TRIGGERS WHERE "
           "CAST(TRIGGER_SCHEMA AS BINARY) = " + SqlBytes(plan.options.target) +
           " ORDER BY EVENT_OBJECT_TABLE, ACTION_ORDER")) {
    if (out.count(row[1])) names.push_back(row[0]);
  }
  for (const std::string& name : names) {
    std::vector<SqlRow> rows = plan.sql->Query("SHOW CREATE TRIGGER " + db + "." + Quoted(name));
    if (rows.empty() || rows[0].size() < 5) Fail("cannot read trigger " + Quoted(name));
    saved.push_back({name, rows[0][1], rows[0][2], rows[0][3], rows[0][4]});
  }
  JournalTriggers(plan, saved);
  for (const SavedTrigger& trigger : saved) {
    Exec(plan, *plan.sql, "", "DROP TRIGGER " + db + "." + Quoted(trigger.name));
  }
  return saved;
}

}  // namespace

// Best effort, on a connection that a stop request does not cancel.
void RecreateTriggers(Plan& plan, const std::string& database,
                      const std::vector<SavedTrigger>& saved, std::string* problems) {
  if (saved.empty()) return;
  try {
    std::unique_ptr<SqlConnection> sql = Connect(plan, false);
    sql->Query("USE " + Quoted(database));
    for (const SavedTrigger& trigger : saved) {
      try {
        sql->Query("SET SESSION sql_mode = " + SqlLiteral(trigger.sqlMode) +
                   ", character_set_client = " + SqlLiteral(trigger.charset) +
                   ", collation_connection = " + SqlLiteral(trigger.collation));
        sql->Query(trigger.statement);
      } catch (const Failure& failure) {
        *problems += "; trigger " + Quoted(trigger.name) + " could not be recreated (" +
                     failure.what() + "): " + trigger.statement;
      }
    }
  } catch (const Failure& failure) {
    *problems += std::string("; the dropped triggers could not be recreated: ") + failure.what();
  }
}

namespace {

void Undo(Plan& plan, bool createdTarget, bool createdHolding) {
  std::unique_ptr<SqlConnection> sql = Connect(plan, false);
  if (createdHolding) {
    try {
      sql->Query("DROP DATABASE IF EXISTS " + Quoted(plan.holding));
    } catch (const Failure&) {
    }
  }
  if (createdTarget) {
    try {
      sql->Query("DROP DATABASE IF EXISTS " + Quoted(plan.options.target));
    } catch (const Failure&) {
    }
  }
}

}  // namespace

// Foreign keys outside the restored tables that reference the holding or
// the shadow database are pointed at the target.
void RepointForeignKeys(Plan& plan, SqlConnection& sql) {
  std::vector<ForeignKey> keys;
  const std::string ours = SqlBytes(plan.holding) + ", " + SqlBytes(plan.shadow);
  for (const SqlRow& row : sql.Query(
           "SELECT CONSTRAINT_SCHEMA, TABLE_NAME, CONSTRAINT_NAME, REFERENCED_TABLE_NAME, "
           "UPDATE_RULE, DELETE_RULE FROM information_schema.REFERENTIAL_CONSTRAINTS WHERE "
           "CAST(UNIQUE_CONSTRAINT_SCHEMA AS BINARY) IN (" + ours + ") AND "
           "CAST(CONSTRAINT_SCHEMA AS BINARY) NOT IN (" + ours + ")")) {
    ForeignKey key;
    key.schema = row[0];
    key.table = row[1];
    key.name = row[2];
    key.refTable = row[3];
    key.updateRule = row[4];
    key.deleteRule = row[5];
    key.columns = ForeignKeyColumns(sql, key, false);
    key.refColumns = ForeignKeyColumns(sql, key, true);
    keys.push_back(key);
  }
  for (const ForeignKey& key : keys) {
    const std::string table = Quoted(key.schema) + "." + Quoted(key.table);
    Exec(plan, sql, key.table, "ALTER TABLE " + table + " DROP FOREIGN KEY " + Quoted(key.name));
    Exec(plan, sql, key.table,
         "ALTER TABLE " + table + " ADD CONSTRAINT " + Quoted(key.name) + " FOREIGN KEY (" +
             key.columns + ") REFERENCES " + Quoted(plan.options.target) + "." +
             Quoted(key.refTable) + " (" + key.refColumns + ") ON DELETE " + key.deleteRule +
             " ON UPDATE " + key.updateRule);
    Log().Detail(Verbosity::kVerbose, "foreign key " + Quoted(key.name) + " of " + table +
                                          " now references the restored " + Quoted(key.refTable));
  }
}

void Swap(Plan& plan) {
  CheckStop("nothing was changed");
  SqlConnection& sql = *plan.sql;
  const std::string target = Quoted(plan.options.target);
  bool createdTarget = false;
  bool createdHolding = false;
  std::vector<SavedTrigger> triggers;
  std::string rename;
  for (const std::string& name : plan.swappedOut) {
    rename += std::string(rename.empty() ? "" : ", ") + target + "." + Quoted(name) + " TO " +
              Quoted(plan.holding) + "." + Quoted(name);
  }
  for (const Table& table : plan.tables) {
    rename += std::string(rename.empty() ? "" : ", ") + Quoted(plan.shadow) + "." +
              Quoted(table.name) + " TO " + target + "." + Quoted(table.name);
  }
  try {
    if (!plan.targetExists) {
      Exec(plan, sql, "", "CREATE DATABASE " + target + " " + plan.schema.databaseOptions);
      createdTarget = true;
    }
    if (!plan.swappedOut.empty()) {
      Exec(plan, sql, "", "CREATE DATABASE " + Quoted(plan.holding));
      createdHolding = true;
    }
    triggers = DropTargetTriggers(plan);
    if (!rename.empty()) Exec(plan, sql, "", "RENAME TABLE " + rename);
  } catch (const Failure& failure) {
    std::string problems;
    RecreateTriggers(plan, plan.options.target, triggers, &problems);
    Undo(plan, createdTarget, createdHolding);
    Fail(std::string(failure.what()) + problems);
  }
  plan.swapped = true;
  Log().Detail(Verbosity::kVerbose, "swapped " + std::to_string(plan.tables.size()) +
                                        " restored tables into " + target);
}

}  // namespace restore
}  // namespace xbagent
