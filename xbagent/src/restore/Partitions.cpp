// Partitioned tables in the swap. The server's crash recovery of a RENAME
// TABLE of a partitioned InnoDB table into another database can leave the
// table's definition on one side and some of its partitions on the other,
// so the swap never renames one: each restored partition is moved into a
// table of its own in the shadow first, and the swap exchanges it with the
// target's partition (EXCHANGE PARTITION, atomic on its own; see
// SwapJournal.h). That needs a target table of the same definition, or
// none; other cases are refused before anything changes.

#include <algorithm>

#include "../Common.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

const Table* Restored(const Plan& plan, const std::string& name) {
  for (const Table& table : plan.tables) {
    if (table.name == name) return &table;
  }
  return nullptr;
}

std::string Refusal(const Plan& plan, const std::string& name, const std::string& why) {
  return "table " + Quoted(name) + " " + why + ": the server cannot move a partitioned table "
         "between databases safely (a crash during the rename can split it), so xbagent replaces "
         "a partitioned table partition by partition, with a restored table of the same "
         "definition; nothing was changed. Restore with --as NEWNAME beside '" +
         plan.options.target + "', or leave the table out with --table";
}

// SHOW CREATE TABLE without the AUTO_INCREMENT counter.
std::string Definition(SqlConnection& sql, const std::string& database, const std::string& name) {
  std::vector<SqlRow> rows =
      sql.Query("SHOW CREATE TABLE " + SqlIdentifier(database) + "." + SqlIdentifier(name));
  std::string text = rows.empty() || rows[0].size() < 2 ? std::string() : rows[0][1];
  const size_t at = text.find(" AUTO_INCREMENT=");
  if (at != std::string::npos) {
    const size_t end = text.find(' ', at + 1);
    text.erase(at, end == std::string::npos ? std::string::npos : end - at);
  }
  return text;
}

std::vector<std::string> Leaves(SqlConnection& sql, const std::string& database,
                                const std::string& name) {
  std::vector<std::string> leaves;
  for (const SqlRow& row : sql.Query(
           "SELECT COALESCE(SUBPARTITION_NAME, PARTITION_NAME) FROM information_schema.PARTITIONS "
           "WHERE CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(database) + " AND CAST(TABLE_NAME "
           "AS BINARY) = " + SqlBytes(name) + " ORDER BY PARTITION_ORDINAL_POSITION, "
           "SUBPARTITION_ORDINAL_POSITION")) {
    leaves.push_back(row[0]);
  }
  return leaves;
}

}  // namespace

void CheckPartitionedTables(Plan& plan) {
  for (const Table& table : plan.tables) {
    if (table.partitioned && table.engine != "InnoDB") {
      Fail(Refusal(plan, table.name, "is partitioned with the " + table.engine + " engine, whose "
                                     "partitions the swap cannot follow"));
    }
  }
  if (plan.swappedOut.empty()) return;
  for (const SqlRow& row : plan.sql->Query(
           "SELECT TABLE_NAME, ENGINE FROM information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS "
           "BINARY) = " + SqlBytes(plan.options.target) + " AND CREATE_OPTIONS LIKE "
           "'%partitioned%'")) {
    const std::string& name = row[0];
    if (std::find(plan.swappedOut.begin(), plan.swappedOut.end(), name) == plan.swappedOut.end()) {
      continue;
    }
    const Table* restored = Restored(plan, name);
    if (restored == nullptr || !restored->partitioned) {
      Fail(Refusal(plan, name, "is partitioned in '" + plan.options.target + "' but " +
                               (restored ? "not in the backup" : "not in the backup at all")));
    }
    if (row[1] != "InnoDB") {
      Fail(Refusal(plan, name, "is partitioned with the " + row[1] + " engine in '" +
                               plan.options.target + "'"));
    }
  }
  for (const std::string& name : plan.swappedOut) {
    const Table* restored = Restored(plan, name);
    if (restored && restored->partitioned &&
        Definition(*plan.sql, plan.options.target, name).find("PARTITION BY") == std::string::npos) {
      Fail(Refusal(plan, name, "is partitioned in the backup but not in '" + plan.options.target +
                               "'"));
    }
  }
}

// Each partitioned restored table: its definition checked against the
// target's, each leaf moved into a work table of the shadow.
void StagePartitions(Plan& plan, SqlConnection& sql) {
  int number = 0;
  for (const Table& table : plan.tables) {
    if (!table.partitioned) continue;
    ExchangedTable staged;
    staged.name = table.name;
    staged.created = std::find(plan.swappedOut.begin(), plan.swappedOut.end(), table.name) ==
                     plan.swappedOut.end();
    if (!staged.created && Definition(sql, plan.options.target, table.name) !=
                               Definition(sql, plan.shadow, table.name)) {
      Fail(Refusal(plan, table.name, "is defined otherwise in '" + plan.options.target +
                                     "' than in the backup (SHOW CREATE TABLE differs)"));
    }
    staged.leaves = Leaves(sql, plan.shadow, table.name);
    const std::string prefix = std::string(kReservedPrefix) + "part#" + std::to_string(number++) + "#";
    for (size_t leaf = 0; leaf < staged.leaves.size(); ++leaf) {
      const std::string work = prefix + std::to_string(leaf);
      const std::string quoted = Quoted(plan.shadow) + "." + Quoted(work);
      if (leaf == 0) {
        Exec(plan, sql, table.name, "CREATE TABLE " + quoted + " LIKE " + Quoted(plan.shadow) +
                                        "." + Quoted(table.name));
        Exec(plan, sql, table.name, "ALTER TABLE " + quoted + " REMOVE PARTITIONING");
      } else {
        Exec(plan, sql, table.name, "CREATE TABLE " + quoted + " LIKE " + Quoted(plan.shadow) +
                                        "." + Quoted(staged.work[0]));
      }
      Exec(plan, sql, table.name, "ALTER TABLE " + Quoted(plan.shadow) + "." + Quoted(table.name) +
                                      " EXCHANGE PARTITION " + Quoted(staged.leaves[leaf]) +
                                      " WITH TABLE " + quoted);
      staged.work.push_back(work);
      staged.restored.push_back(SpacesOf(sql, plan.shadow, work));
    }
    if (!staged.created) staged.live = SpacesOf(sql, plan.options.target, table.name);
    plan.exchanged.push_back(staged);
  }
}

bool Exchanged(const Plan& plan, const std::string& name) {
  return std::any_of(plan.exchanged.begin(), plan.exchanged.end(),
                     [&](const ExchangedTable& table) { return table.name == name; });
}

}  // namespace restore
}  // namespace xbagent
