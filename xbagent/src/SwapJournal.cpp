#include "SwapJournal.h"

#include <unistd.h>

#include <algorithm>
#include <set>

#include "Common.h"
#include "Fs.h"
#include "JsonDoc.h"
#include "Log.h"

namespace xbagent {

namespace {

std::string Q(const std::string& name) { return SqlIdentifier(name); }

std::string Table(const std::string& database, const std::string& table) {
  return Q(database) + "." + Q(table);
}

bool Has(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// The tables InnoDB's dictionary knows in a database whose definition is
// not there (a crash recovery that moved a table's definition back but not
// all of its partitions leaves them so). Full-text index and temporary
// tables do not count. (The dictionary, not the tablespaces: after a restart
// the server lists only the tablespaces it has opened since.)
std::vector<std::string> StrayTablespaces(SqlConnection& sql, const std::string& database) {
  const std::string dir = "CAST(CONVERT(" + SqlLiteral(database) + " USING filename) AS BINARY)";
  std::set<std::string> stems;
  for (const SqlRow& row : sql.Query(
           "SELECT CAST(CONVERT(TABLE_NAME USING filename) AS BINARY) FROM "
           "information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(database))) {
    stems.insert(row[0]);
  }
  std::vector<std::string> stray;
  for (const SqlRow& row : sql.Query(
           "SELECT SUBSTRING(NAME, LOCATE('/', NAME) + 1) FROM "
           "information_schema.INNODB_SYS_TABLES WHERE CAST(SUBSTRING_INDEX(NAME, '/', 1) "
           "AS BINARY) = " + dir)) {
    const std::string& space = row[0];
    if (space.compare(0, 4, "FTS_") == 0 || space.compare(0, 4, "#sql") == 0) continue;
    size_t cut = std::min(space.find("#P#"), space.find("#p#"));
    if (!stems.count(space.substr(0, cut))) stray.push_back(space);
  }
  return stray;
}

}  // namespace

// The space ids of the InnoDB tablespaces of a table (each partition has
// one), sorted, from InnoDB's dictionary: "" for other engines.
std::string SpacesOf(SqlConnection& sql, const std::string& database, const std::string& table) {
  const std::string name = "CONCAT(CAST(CONVERT(" + SqlLiteral(database) + " USING filename) AS "
                           "BINARY), '/', CAST(CONVERT(" + SqlLiteral(table) + " USING filename) AS "
                           "BINARY))";
  std::string ids;
  for (const SqlRow& row : sql.Query(
           "SELECT SPACE FROM information_schema.INNODB_SYS_TABLES WHERE CAST(NAME AS BINARY) = " +
           name + " OR CAST(NAME AS BINARY) LIKE CONCAT(REPLACE(REPLACE(" + name + ", '_', "
           "'\\_'), '%', '\\%'), '#P#%') ORDER BY SPACE")) {
    ids += (ids.empty() ? "" : ",") + row[0];
  }
  return ids;
}

bool Opens(SqlConnection& sql, const std::string& database, const std::string& table) {
  try {
    sql.Query("SELECT 1 FROM " + Table(database, table) + " LIMIT 0");
    return true;
  } catch (const Failure&) {
    return false;
  }
}

void JournalSession(SqlConnection& sql) {
  sql.Query("SET SESSION sql_log_bin = 0");
  sql.Query("SET SESSION foreign_key_checks = 0");
}

void WriteSwapJournal(SqlConnection& sql, const SwapJournal& journal) {
  const std::string h = Q(journal.holding);
  sql.Query("CREATE DATABASE " + h);
  sql.Query("CREATE TABLE " + h + "." + Q(kSwapJournal) + " (seq INT AUTO_INCREMENT PRIMARY KEY, "
            "k VARCHAR(32) NOT NULL, v LONGTEXT NOT NULL) ENGINE=InnoDB");
  sql.Query("CREATE TABLE " + h + "." + Q(kObjectJournal) + " (seq INT PRIMARY KEY, kind "
            "VARCHAR(16) NOT NULL, name VARCHAR(192) NOT NULL, prelude LONGTEXT NOT NULL, "
            "statement LONGTEXT NOT NULL) ENGINE=InnoDB");
  std::string rows;
  auto row = [&](const char* key, const std::string& value) {
    rows += std::string(rows.empty() ? "" : ", ") + "(" + SqlLiteral(key) + ", " +
            SqlLiteral(value) + ")";
  };
  for (const auto& entry : journal.outSpaces) row("out_spaces", entry.first + "\t" + entry.second);
  for (const auto& entry : journal.inSpaces) row("in_spaces", entry.first + "\t" + entry.second);
  row("run", journal.run);
  row("target", journal.target);
  row("shadow", journal.shadow);
  row("created_target", journal.createdTarget ? "1" : "0");
  row("replace_objects", journal.replaceObjects ? "1" : "0");
  for (const std::string& name : journal.out) row("out", name);
  for (const std::string& name : journal.in) row("in", name);
  for (const ExchangedTable& table : journal.exchanged) row("exchange", ExchangeJson(table).dump());
  sql.Query("INSERT INTO " + h + "." + Q(kSwapJournal) + " (k, v) VALUES " + rows);
  for (size_t i = 0; i < journal.objects.size(); ++i) {
    const ObjectStatement& o = journal.objects[i];
    sql.Query("INSERT INTO " + h + "." + Q(kObjectJournal) + " VALUES (" + std::to_string(i) +
              ", " + SqlLiteral(o.kind) + ", " + SqlLiteral(o.name) + ", " +
              SqlLiteral(Json(o.prelude).dump()) + ", " + SqlLiteral(o.text) + ")");
  }
  sql.Query("INSERT INTO " + h + "." + Q(kSwapJournal) + " (k, v) VALUES ('complete', '1')");
}

std::vector<SavedTrigger> JournalTriggers(SqlConnection& sql, const SwapJournal& journal) {
  std::vector<SavedTrigger> saved;
  const std::string db = Q(journal.target);
  std::vector<std::string> names;
  for (const SqlRow& row : sql.Query(
           "SELECT TRIGGER_NAME, EVENT_OBJECT_TABLE FROM information_schema.TRIGGERS WHERE "
           "CAST(TRIGGER_SCHEMA AS BINARY) = " + SqlBytes(journal.target) +
           " ORDER BY EVENT_OBJECT_TABLE, ACTION_ORDER")) {
    const bool exchanged =
        std::any_of(journal.exchanged.begin(), journal.exchanged.end(),
                    [&](const ExchangedTable& t) { return t.name == row[1] && !t.created; });
    if (Has(journal.out, row[1]) || exchanged) names.push_back(row[0]);
  }
  for (const std::string& name : names) {
    std::vector<SqlRow> rows = sql.Query("SHOW CREATE TRIGGER " + db + "." + Q(name));
    if (rows.empty() || rows[0].size() < 5) Fail("cannot read trigger " + Q(name));
    saved.push_back({name, rows[0][1], rows[0][2], rows[0][3], rows[0][4]});
  }
  if (saved.empty()) return saved;
  const std::string table = Table(journal.holding, kTriggerJournal);
  sql.Query("CREATE TABLE " + table + " (db VARCHAR(64) NOT NULL, name VARCHAR(64) NOT NULL, "
            "sql_mode TEXT NOT NULL, statement LONGTEXT NOT NULL, charset VARCHAR(64) NOT NULL, "
            "collation VARCHAR(64) NOT NULL) ENGINE=InnoDB");
  for (const SavedTrigger& t : saved) {
    sql.Query("INSERT INTO " + table + " VALUES (" + SqlLiteral(journal.target) + ", " +
              SqlLiteral(t.name) + ", " + SqlLiteral(t.sqlMode) + ", " + SqlLiteral(t.statement) +
              ", " + SqlLiteral(t.charset) + ", " + SqlLiteral(t.collation) + ")");
  }
  return saved;
}

void MarkSwapped(SqlConnection& sql, const SwapJournal& journal) {
  sql.Query("INSERT INTO " + Table(journal.holding, kSwapJournal) + " (k, v) VALUES ('swapped', '1')");
}

bool ReadSwapJournal(SqlConnection& sql, const std::string& holding, SwapJournal* journal) {
  if (!Has(TablesOf(sql, holding), kSwapJournal)) return false;
  *journal = SwapJournal();
  journal->holding = holding;
  bool complete = false;
  for (const SqlRow& row : sql.Query("SELECT k, v FROM " + Table(holding, kSwapJournal) +
                                     " ORDER BY seq")) {
    const std::string& k = row[0];
    if (k == "run") journal->run = row[1];
    if (k == "target") journal->target = row[1];
    if (k == "shadow") journal->shadow = row[1];
    if (k == "created_target") journal->createdTarget = row[1] == "1";
    if (k == "replace_objects") journal->replaceObjects = row[1] == "1";
    if (k == "swapped") journal->swapped = true;
    if (k == "complete") complete = true;
    if (k == "out") journal->out.push_back(row[1]);
    if (k == "in") journal->in.push_back(row[1]);
    if (k == "exchange") {
      journal->exchanged.push_back(ExchangeFromJson(ParseJson(row[1], "the journal's partitions")));
    }
    const size_t tab = row[1].find('\t');
    if (k == "out_spaces" && tab != std::string::npos) {
      journal->outSpaces[row[1].substr(0, tab)] = row[1].substr(tab + 1);
    }
    if (k == "in_spaces" && tab != std::string::npos) {
      journal->inSpaces[row[1].substr(0, tab)] = row[1].substr(tab + 1);
    }
  }
  for (const SqlRow& row : sql.Query("SELECT kind, name, prelude, statement FROM " +
                                     Table(holding, kObjectJournal) + " ORDER BY seq")) {
    ObjectStatement o{row[0], row[1], {}, row[3]};
    Json prelude = ParseJson(row[2], "the journal's statement list");
    for (const Json& text : prelude) {
      if (text.is_string()) o.prelude.push_back(text.get<std::string>());
    }
    journal->objects.push_back(o);
  }
  // A run killed while it wrote the journal had changed nothing else.
  return complete && !journal->target.empty() && !journal->shadow.empty();
}

namespace {

// Tables of database that are not where the state needs them, or do not open.
void Expect(SqlConnection& sql, const std::string& database, const std::vector<std::string>& names,
            bool present, std::string* detail) {
  const std::vector<std::string> tables = TablesOf(sql, database);
  for (const std::string& name : names) {
    if (Has(tables, name) != present) {
      *detail += "; table " + Table(database, name) + (present ? " is missing" : " is there");
    } else if (present && !Opens(sql, database, name)) {
      *detail += "; table " + Table(database, name) + " does not open";
    }
  }
}

}  // namespace

void RecordSpaces(SqlConnection& sql, SwapJournal* journal) {
  for (const std::string& name : journal->out) {
    journal->outSpaces[name] = SpacesOf(sql, journal->target, name);
  }
  for (const std::string& name : journal->in) {
    journal->inSpaces[name] = SpacesOf(sql, journal->shadow, name);
  }
}

namespace {

// Each name of the journal in each database holds exactly the tablespaces
// it had before the rename on one side, or none: a table whose partitions
// come from two tables, or that lost some, is named.
void CheckSpaces(SqlConnection& sql, const SwapJournal& journal, std::string* detail) {
  std::set<std::string> names(journal.out.begin(), journal.out.end());
  names.insert(journal.in.begin(), journal.in.end());
  for (const std::string& name : names) {
    const auto out = journal.outSpaces.find(name);
    const auto in = journal.inSpaces.find(name);
    for (const std::string& db : {journal.target, journal.holding, journal.shadow}) {
      const std::string now = SpacesOf(sql, db, name);
      if (now.empty() || (out != journal.outSpaces.end() && now == out->second) ||
          (in != journal.inSpaces.end() && now == in->second)) {
        continue;
      }
      *detail += "; table " + Table(db, name) + " holds InnoDB tablespaces " + now +
                 ", not those of the old (" + (out == journal.outSpaces.end() ? "-" : out->second) +
                 ") or the restored table (" + (in == journal.inSpaces.end() ? "-" : in->second) + ")";
    }
  }
}

}  // namespace

SwapState InspectSwap(SqlConnection& sql, const SwapJournal& journal, std::string* detail) {
  detail->clear();
  const std::vector<std::string> held = TablesOf(sql, journal.holding);
  const std::vector<std::string> shadow = TablesOf(sql, journal.shadow);
  const std::vector<std::string> target = TablesOf(sql, journal.target);
  size_t movedOut = 0;
  for (const std::string& name : journal.out) movedOut += Has(held, name) ? 1 : 0;
  bool inMoved = !journal.in.empty();
  for (const std::string& name : journal.in) inMoved = inMoved && !Has(shadow, name) && Has(target, name);
  size_t exchanged = 0, leaves = 0;
  InspectExchanges(sql, journal, &exchanged, &leaves, detail);
  const bool renames = !journal.out.empty() || !journal.in.empty();
  const bool after = journal.swapped || (!journal.out.empty() && movedOut == journal.out.size()) ||
                     (journal.out.empty() && inMoved) ||
                     (!renames && leaves > 0 && exchanged == leaves);
  if (after && exchanged != leaves) {
    *detail += "; only " + std::to_string(exchanged) + " of the " + std::to_string(leaves) +
               " partitions to exchange were exchanged";
  }
  if (after) {
    Expect(sql, journal.target, journal.in, true, detail);
    Expect(sql, journal.shadow, journal.in, false, detail);
    if (!journal.swapped) Expect(sql, journal.holding, journal.out, true, detail);
  } else if (movedOut == 0) {
    Expect(sql, journal.target, journal.out, true, detail);
    for (const std::string& name : journal.in) {
      if (!Has(journal.out, name) && Has(target, name)) {
        *detail += "; table " + Table(journal.target, name) + " is there";
      }
    }
  } else {
    *detail += "; " + std::to_string(movedOut) + " of the " + std::to_string(journal.out.size()) +
               " tables moved out are in '" + journal.holding + "'";
  }
  CheckSpaces(sql, journal, detail);
  for (const std::string& db : {journal.target, journal.shadow, journal.holding}) {
    for (const std::string& space : StrayTablespaces(sql, db)) {
      *detail += "; InnoDB tablespace '" + space + "' of database '" + db +
                 "' has no table there";
    }
  }
  if (!detail->empty()) {
    *detail = detail->substr(2);
    return SwapState::kMixed;
  }
  return after ? SwapState::kAfter : SwapState::kBefore;
}

}  // namespace xbagent
