// Phase "build the shadow": a database of the restore's own, named
// xbagent#shadow#<pid>#<start>, gets the schema's tables and sequences from
// schema.sql, then every table its data from the staging copy and a CHECK
// TABLE (on a second connection, while the next tables are built). The views,
// triggers and routines of the schema are tried there too (so a schema that
// cannot be applied fails here, before the target is touched) and removed
// again before the swap.

#include <unistd.h>

#include <algorithm>

#include "../Common.h"
#include "../Log.h"
#include "Plan.h"
#include "TableCheck.h"
#include "TableImport.h"

namespace xbagent {
namespace restore {

// The statements of schema.sql for one destination, with the session's SET
// statements in their order.
void ApplySchema(Plan& plan, SqlConnection& sql, Where where, const std::string& database,
                 bool trial) {
  const std::vector<std::string>& chosen = plan.options.tables;
  for (const SchemaStatement& statement : plan.schema.statements) {
    if (statement.where != Where::kSession && statement.where != where) continue;
    // --table: of the objects only the triggers of the chosen tables.
    if (where == Where::kTarget && !chosen.empty() && statement.where == Where::kTarget &&
        (statement.object != Object::kTrigger ||
         std::find(chosen.begin(), chosen.end(), statement.onTable) == chosen.end())) {
      continue;
    }
    // Events may fire as soon as they exist: they are only created in the target.
    if (trial && statement.object == Object::kEvent) continue;
    CheckStop("nothing was changed");
    std::string text = database == plan.options.database
                           ? statement.text
                           : RenameDatabase(statement.text, plan.options.database, database);
    Log().Detail(Verbosity::kDebug, "schema: " + text);
    try {
      sql.Query(text);
    } catch (const Failure& failure) {
      if (StopRequested()) Fail("interrupted while applying " + plan.schemaPath);
      std::string shown = Trim(statement.text);
      if (shown.size() > 200) shown = shown.substr(0, 200) + " ...";
      std::string reason = failure.what();
      const std::string prefix = "query failed: ";
      if (reason.compare(0, prefix.size(), prefix) == 0) reason = reason.substr(prefix.size());
      Fail("the backup's schema (" + plan.schemaPath + ") cannot be applied: " + reason +
           " (statement: " + shown + ")");
    }
  }
}

// Removes the trial views, triggers, routines and events from the shadow.
void DropShadowObjects(Plan& plan, SqlConnection& sql) {
  const std::string db = Quoted(plan.shadow);
  const std::string where = " WHERE CAST(%s AS BINARY) = " + SqlBytes(plan.shadow);
  auto rows = [&](const std::string& select, const std::string& column) {
    std::string condition = where;
    condition.replace(condition.find("%s"), 2, column);
    return sql.Query(select + condition);
  };
  for (const SqlRow& row : rows("SELECT TRIGGER_NAME FROM information_schema.TRIGGERS", "TRIGGER_SCHEMA")) {
    Exec(plan, sql, "", "DROP TRIGGER " + db + "." + Quoted(row[0]));
  }
  for (const SqlRow& row : rows("SELECT TABLE_NAME FROM information_schema.VIEWS", "TABLE_SCHEMA")) {
    Exec(plan, sql, "", "DROP VIEW " + db + "." + Quoted(row[0]));
  }
  for (const SqlRow& row : rows("SELECT ROUTINE_TYPE, ROUTINE_NAME FROM information_schema.ROUTINES",
                                "ROUTINE_SCHEMA")) {
    Exec(plan, sql, "", "DROP " + row[0] + " " + db + "." + Quoted(row[1]));
  }
}

void BuildShadow(Plan& plan) {
  const double start = MonotonicSeconds();
  SqlConnection& sql = *plan.sql;
  Exec(plan, sql, "", "CREATE DATABASE " + Quoted(plan.shadow) + " " + plan.schema.databaseOptions);
  plan.shadowCreated = true;
  {
    std::unique_ptr<SqlConnection> schema = Connect(plan);
    schema->Query("USE " + Quoted(plan.shadow));
    ApplySchema(plan, *schema, Where::kShadow, plan.shadow, false);
    ApplySchema(plan, *schema, Where::kTarget, plan.shadow, true);
  }
  // --table: only the chosen tables stay.
  std::vector<std::string> created = ListTables(sql, plan.shadow);
  for (const std::string& name : created) {
    bool wanted = std::any_of(plan.tables.begin(), plan.tables.end(),
                              [&](const Table& t) { return t.name == name; });
    if (!wanted && !plan.options.tables.empty()) {
      Exec(plan, sql, name, "DROP TABLE " + Quoted(plan.shadow) + "." + Quoted(name));
    }
  }
  plan.seconds["schema"] = MonotonicSeconds() - start;
  const bool showProgress = ::isatty(2) == 1 && Log().verbosity() != Verbosity::kQuiet;
  TableChecker checker(plan);
  size_t index = 0;
  for (const Table& table : plan.tables) {
    ++index;
    CheckStop("nothing was changed");
    if (std::find(created.begin(), created.end(), table.name) == created.end()) {
      Fail("the backup's schema does not create table " + Quoted(table.name) +
           " that the backup holds");
    }
    if (showProgress) {
      Log().Status("restore [" + std::to_string(index) + "/" + std::to_string(plan.tables.size()) +
                   "] " + Quoted(table.name) + " (" + KindName(table.kind) + ")");
    }
    const double tableStart = MonotonicSeconds();
    ImportTable(plan, sql, table);
    checker.Add(table);
    ++plan.byKind[table.kind];
    Log().Detail(Verbosity::kVerbose, "built " + Quoted(table.name) + " (" + KindName(table.kind) +
                                          ") in " + HumanSeconds(MonotonicSeconds() - tableStart));
  }
  if (showProgress) Log().Status("restore: checking the last tables");
  checker.Finish();
  if (showProgress) Log().ClearStatus();
  plan.seconds["tables"] = MonotonicSeconds() - start - plan.seconds["schema"];
}

}  // namespace restore
}  // namespace xbagent
