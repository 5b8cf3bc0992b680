// Finishing or undoing a journalled swap (SwapJournal.h), for the run that
// made it and for whichever run finds its journal after it died.

#include <unistd.h>

#include <algorithm>
#include <functional>

#include "Common.h"
#include "Fs.h"
#include "Log.h"
#include "SwapJournal.h"

namespace xbagent {

namespace {

constexpr unsigned kErNoSuchTable = 1146;
constexpr unsigned kErViewInvalid = 1356;

std::string Q(const std::string& name) { return SqlIdentifier(name); }

std::string Table(const std::string& database, const std::string& table) {
  return Q(database) + "." + Q(table);
}

std::string Reason(const Failure& failure) {
  std::string text = failure.what();
  const std::string prefix = "query failed: ";
  return text.compare(0, prefix.size(), prefix) == 0 ? text.substr(prefix.size()) : text;
}

std::string Shown(const std::string& statement) {
  std::string shown = Trim(statement);
  return shown.size() > 200 ? shown.substr(0, 200) + " ..." : shown;
}

std::vector<std::string> Column(SqlConnection& sql, const std::string& query) {
  std::vector<std::string> values;
  for (const SqlRow& row : sql.Query(query)) values.push_back(row[0]);
  return values;
}

std::string InDatabase(const char* column, const std::string& database) {
  return std::string(" WHERE CAST(") + column + " AS BINARY) = " + SqlBytes(database);
}

// A full restore: the target's own views, routines and events go first.
void DropTargetObjects(SqlConnection& sql, const std::string& target) {
  const std::string db = Q(target);
  for (const std::string& view : Column(sql, "SELECT TABLE_NAME FROM information_schema.VIEWS" +
                                                 InDatabase("TABLE_SCHEMA", target))) {
    sql.Query("DROP VIEW IF EXISTS " + db + "." + Q(view));
  }
  for (const SqlRow& row : sql.Query("SELECT ROUTINE_TYPE, ROUTINE_NAME FROM "
                                     "information_schema.ROUTINES" +
                                     InDatabase("ROUTINE_SCHEMA", target))) {
    sql.Query("DROP " + row[0] + " IF EXISTS " + db + "." + Q(row[1]));
  }
  for (const std::string& event : Column(sql, "SELECT EVENT_NAME FROM information_schema.EVENTS" +
                                                  InDatabase("EVENT_SCHEMA", target))) {
    sql.Query("DROP EVENT IF EXISTS " + db + "." + Q(event));
  }
}

// Runs one object statement after its session statements; false when a
// view names a view not created yet (it is tried again later).
bool RunObject(SqlConnection& sql, const SwapJournal& journal, const ObjectStatement& o,
               bool lastTry) {
  for (const std::string& set : o.prelude) sql.Query(set);
  if (o.kind == "trigger") sql.Query("DROP TRIGGER IF EXISTS " + Table(journal.target, o.name));
  try {
    sql.Query(o.text);
  } catch (const Failure& failure) {
    const unsigned code = sql.LastErrorNumber();
    if (!lastTry && o.kind == "view" && (code == kErNoSuchTable || code == kErViewInvalid)) {
      return false;
    }
    Fail("the backup's " + o.kind + (o.name.empty() ? std::string() : " " + Q(o.name)) +
         " cannot be created in '" + journal.target + "': " + Reason(failure) + " (statement: " +
         Shown(o.text) + ")");
  }
  return true;
}

// The backup's objects, views in an order that lets each find the views it
// names (the schema's placeholders for them are never created).
void CreateObjects(SqlConnection& sql, const SwapJournal& journal) {
  if (journal.replaceObjects) DropTargetObjects(sql, journal.target);
  sql.Query("USE " + Q(journal.target));
  std::vector<const ObjectStatement*> waiting;
  for (const ObjectStatement& o : journal.objects) {
    if (!RunObject(sql, journal, o, false)) waiting.push_back(&o);
  }
  while (!waiting.empty()) {
    std::vector<const ObjectStatement*> still;
    for (const ObjectStatement* o : waiting) {
      if (!RunObject(sql, journal, *o, false)) still.push_back(o);
    }
    if (still.size() == waiting.size()) RunObject(sql, journal, *still.front(), true);
    waiting.swap(still);
  }
}

// Foreign keys of other tables that followed the old tables into the
// holding database (or reference the shadow) are pointed at the target.
void RepointForeignKeys(SqlConnection& sql, const SwapJournal& journal) {
  const std::string ours = SqlBytes(journal.holding) + ", " + SqlBytes(journal.shadow);
  for (const SqlRow& row : sql.Query(
           "SELECT CONSTRAINT_SCHEMA, TABLE_NAME, CONSTRAINT_NAME, REFERENCED_TABLE_NAME, "
           "UPDATE_RULE, DELETE_RULE FROM information_schema.REFERENTIAL_CONSTRAINTS WHERE "
           "CAST(UNIQUE_CONSTRAINT_SCHEMA AS BINARY) IN (" + ours + ") AND "
           "CAST(CONSTRAINT_SCHEMA AS BINARY) NOT IN (" + ours + ")")) {
    std::string columns[2];
    for (int referenced = 0; referenced < 2; ++referenced) {
      for (const std::string& column : Column(
               sql, std::string("SELECT ") + (referenced ? "REFERENCED_COLUMN_NAME" : "COLUMN_NAME") +
                        " FROM information_schema.KEY_COLUMN_USAGE" +
                        InDatabase("CONSTRAINT_SCHEMA", row[0]) + " AND CAST(TABLE_NAME AS BINARY) = " +
                        SqlBytes(row[1]) + " AND CAST(CONSTRAINT_NAME AS BINARY) = " + SqlBytes(row[2]) +
                        " AND REFERENCED_TABLE_NAME IS NOT NULL ORDER BY ORDINAL_POSITION")) {
        columns[referenced] += (columns[referenced].empty() ? "" : ", ") + Q(column);
      }
    }
    const std::string table = Table(row[0], row[1]);
    sql.Query("ALTER TABLE " + table + " DROP FOREIGN KEY " + Q(row[2]));
    sql.Query("ALTER TABLE " + table + " ADD CONSTRAINT " + Q(row[2]) + " FOREIGN KEY (" +
              columns[0] + ") REFERENCES " + Table(journal.target, row[3]) + " (" + columns[1] +
              ") ON DELETE " + row[5] + " ON UPDATE " + row[4]);
    Log().Detail(Verbosity::kVerbose, "foreign key " + Q(row[2]) + " of " + table +
                                          " now references the restored " + Q(row[3]));
  }
}

std::vector<SavedTrigger> ReadTriggerJournal(SqlConnection& sql, const std::string& holding,
                                             std::string* database) {
  std::vector<SavedTrigger> saved;
  const std::vector<std::string> tables = Column(
      sql, "SELECT TABLE_NAME FROM information_schema.TABLES" + InDatabase("TABLE_SCHEMA", holding));
  if (std::find(tables.begin(), tables.end(), kTriggerJournal) == tables.end()) return saved;
  for (const SqlRow& row : sql.Query("SELECT db, name, sql_mode, statement, charset, collation "
                                     "FROM " + Table(holding, kTriggerJournal))) {
    *database = row[0];
    saved.push_back({row[1], row[2], row[3], row[4], row[5]});
  }
  return saved;
}

}  // namespace

std::string RecreateTriggers(SqlConnection& sql, const std::string& database,
                             const std::vector<SavedTrigger>& saved) {
  std::string problems;
  if (saved.empty()) return problems;
  try {
    sql.Query("USE " + Q(database));
    const std::vector<std::string> present = Column(
        sql, "SELECT TRIGGER_NAME FROM information_schema.TRIGGERS" +
                 InDatabase("TRIGGER_SCHEMA", database));
    for (const SavedTrigger& trigger : saved) {
      if (std::find(present.begin(), present.end(), trigger.name) != present.end()) continue;
      try {
        sql.Query("SET SESSION sql_mode = " + SqlLiteral(trigger.sqlMode) +
                  ", character_set_client = " + SqlLiteral(trigger.charset) +
                  ", collation_connection = " + SqlLiteral(trigger.collation));
        sql.Query(trigger.statement);
      } catch (const Failure& failure) {
        problems += "; trigger " + Table(database, trigger.name) + " could not be recreated (" +
                    Reason(failure) + "): " + trigger.statement;
      }
    }
  } catch (const Failure& failure) {
    problems += "; the dropped triggers of '" + database + "' could not be recreated: " +
                Reason(failure);
  }
  return problems.empty() ? problems : problems.substr(2);
}

void DropOwnDatabase(SqlConnection& sql, const std::string& name) {
  try {
    sql.Query("DROP DATABASE IF EXISTS " + Q(name));
    return;
  } catch (const Failure& failure) {
    // Files the server does not know (a killed run's .cfg or half-copied
    // file) keep the directory: the tables are gone, the database stays.
    if (sql.Scalar("SELECT COUNT(*) FROM information_schema.INNODB_SYS_TABLES WHERE "
                   "CAST(SUBSTRING_INDEX(NAME, '/', 1) AS BINARY) = CAST(CONVERT(" +
                   SqlLiteral(name) + " USING filename) AS BINARY)") != "0" ||
        sql.Scalar("SELECT COUNT(*) FROM information_schema.TABLES WHERE "
                   "CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(name)) != "0") {
      Fail("cannot drop database '" + name + "': " + Reason(failure));
    }
  }
  const std::string dir = JoinPath(
      sql.Scalar("SELECT @@datadir"),
      sql.Scalar("SELECT CAST(CONVERT(" + SqlLiteral(name) + " USING filename) AS BINARY)"));
  std::vector<std::string> files;
  try {
    files = ListDirectory(dir);
  } catch (const Failure&) {
  }
  for (const std::string& file : files) {
    Log().Detail(Verbosity::kVerbose, "removing " + JoinPath(dir, file) + ", unknown to the server");
    ::unlink(JoinPath(dir, file).c_str());
  }
  try {
    sql.Query("DROP DATABASE IF EXISTS " + Q(name));
  } catch (const Failure& failure) {
    Fail("cannot drop database '" + name + "': " + Reason(failure));
  }
}

void FinishSwap(SqlConnection& sql, const SwapJournal& journal) {
  const auto step = [&](const char* what, const std::function<void()>& run) {
    try {
      run();
    } catch (const Failure& failure) {
      Fail(std::string(failure.what()) + " (while the restore of '" + journal.target +
           "' was to " + what + ")");
    }
  };
  step("exchange the partitions of partitioned tables", [&] { ExchangePartitions(sql, journal); });
  step("create the backup's views, triggers, routines and events",
       [&] { CreateObjects(sql, journal); });
  step("point foreign keys of other tables at the restored tables",
       [&] { RepointForeignKeys(sql, journal); });
  step("drop the replaced tables", [&] {
    for (const std::string& name : journal.out) {
      sql.Query("DROP TABLE IF EXISTS " + Table(journal.holding, name));
    }
  });
  step("drop the shadow database", [&] { DropOwnDatabase(sql, journal.shadow); });
  step("drop the journal", [&] { DropOwnDatabase(sql, journal.holding); });
}

std::string UndoSwap(SqlConnection& sql, const SwapJournal& journal) {
  // Until its exchanges are undone, the shadow holds old partitions.
  const std::string exchanges = UndoExchanges(sql, journal);
  std::string problems = exchanges;
  std::string database = journal.target;
  try {
    const std::vector<SavedTrigger> saved = ReadTriggerJournal(sql, journal.holding, &database);
    const std::string triggers = RecreateTriggers(sql, database, saved);
    problems += std::string(problems.empty() || triggers.empty() ? "" : "; ") + triggers;
    if (!exchanges.empty()) return problems;
    DropOwnDatabase(sql, journal.shadow);
    if (journal.createdTarget &&
        sql.Scalar("SELECT COUNT(*) FROM information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS "
                   "BINARY) = " + SqlBytes(journal.target)) == "0") {
      sql.Query("DROP DATABASE IF EXISTS " + Q(journal.target));
    }
    if (problems.empty()) DropOwnDatabase(sql, journal.holding);
  } catch (const Failure& failure) {
    problems += std::string(problems.empty() ? "" : "; ") + Reason(failure);
  }
  return problems;
}

}  // namespace xbagent

namespace xbagent {

namespace {

void Say(const std::string& text) { Log().Notice("xbagent: " + text); }

// A holding database without a complete journal: an older version's, or a
// run killed while it wrote the journal (nothing else had changed then).
void ResolveWithoutJournal(SqlConnection& sql, const std::string& holding, bool dryRun) {
  std::vector<std::string> tables = Column(
      sql, "SELECT TABLE_NAME FROM information_schema.TABLES" + InDatabase("TABLE_SCHEMA", holding));
  for (const std::string& table : tables) {
    if (table.compare(0, 8, "xbagent#") == 0) continue;
    const std::string text = "database '" + holding + "' of an earlier restore holds table " +
                             Q(table) + " and no journal: left as it is (drop it yourself once "
                             "you have checked that its tables are not needed)";
    Say("warning: " + text);
    return;
  }
  std::string database;
  const std::vector<SavedTrigger> saved = ReadTriggerJournal(sql, holding, &database);
  for (const SavedTrigger& trigger : saved) {
    Say(std::string(dryRun ? "would recreate" : "recreating") + " trigger " +
        Table(database, trigger.name) + " that an earlier restore dropped before it died");
  }
  Say(std::string(dryRun ? "would remove" : "removing") + " database '" + holding +
      "' left by an earlier restore that no longer runs");
  if (dryRun) return;
  const std::string problems = RecreateTriggers(sql, database, saved);
  if (!problems.empty()) Fail(problems + "; the journal stays in '" + holding + "'");
  DropOwnDatabase(sql, holding);
}

void ResolveSwap(SqlConnection& sql, const SwapJournal& journal, bool dryRun,
                 const std::string& stopFor) {
  std::string detail;
  const SwapState state = InspectSwap(sql, journal, &detail);
  const std::string who = "an earlier restore into '" + journal.target + "' (run " + journal.run + ")";
  if (state == SwapState::kMixed) {
    const std::string text =
        "database '" + journal.holding + "' of " + who + " may hold data of '" + journal.target +
        "': " + detail + ". A server crash during its swap left the tables in neither their old nor "
        "their new place; nothing of it was removed, and no restore into '" + journal.target +
        "' runs until it is repaired (see \"After a crash\" in the README)";
    if (journal.target == stopFor) Fail(text);
    Say("warning: " + text);
    return;
  }
  const bool after = state == SwapState::kAfter;
  Say(who + (after ? " died after its swap: " : " died before its swap: ") +
      (dryRun ? "would " : "") + (after ? std::string(dryRun ? "finish" : "finishing") +
                   " it (the backup's views, triggers, routines and events; foreign keys; the "
                   "replaced tables and the shadow dropped)"
             : std::string(dryRun ? "undo" : "undoing") + " it ('" + journal.target +
                   "' keeps its tables; dropped triggers are put back; the shadow is dropped)"));
  if (dryRun) return;
  if (after) {
    FinishSwap(sql, journal);
    return;
  }
  const std::string problems = UndoSwap(sql, journal);
  if (!problems.empty()) Fail(problems + "; the journal stays in '" + journal.holding + "'");
}

}  // namespace

void ResolveAbandonedSwaps(SqlConnection& sql, bool dryRun, const std::string& stopFor) {
  for (const std::string& holding : Column(sql, "SELECT SCHEMA_NAME FROM information_schema.SCHEMATA "
                                                "WHERE SCHEMA_NAME LIKE 'xbagent#old#%'")) {
    const std::string identity = holding.substr(12);
    if (!IsRunIdentity(identity)) continue;
    if (IsRunAlive(identity)) {
      Say("note: database '" + holding + "' belongs to a restore still running; left alone");
      continue;
    }
    SwapJournal journal;
    bool complete = false;
    try {
      complete = ReadSwapJournal(sql, holding, &journal);
    } catch (const Failure&) {
      complete = false;  // killed while writing it: nothing else had changed
    }
    if (complete) {
      ResolveSwap(sql, journal, dryRun, stopFor);
    } else {
      ResolveWithoutJournal(sql, holding, dryRun);
    }
  }
}

void FinishAbandonedRestores(SqlConnection& sql) {
  try {
    if (sql.Scalar("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
                   "'xbagent#old#%'") == "0") {
      return;
    }
    const std::string before = sql.Scalar("SELECT CONCAT(@@SESSION.sql_log_bin, ',', "
                                          "@@SESSION.foreign_key_checks)");
    JournalSession(sql);
    try {
      ResolveAbandonedSwaps(sql, false, std::string());
    } catch (const Failure& failure) {
      Say(std::string("warning: ") + failure.what());
    }
    sql.Query("SET SESSION sql_log_bin = " + before.substr(0, before.find(',')) +
              ", foreign_key_checks = " + before.substr(before.find(',') + 1));
  } catch (const Failure& failure) {
    Say(std::string("warning: cannot finish an earlier restore: ") + failure.what());
  }
}

}  // namespace xbagent
