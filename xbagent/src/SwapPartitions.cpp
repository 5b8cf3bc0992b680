// The partitioned tables of a swap: each leaf (partition, or subpartition
// when there are any) of the target's table is exchanged with a table of
// the shadow that holds the restored leaf. InnoDB moves a tablespace with
// each exchange, so the space ids the journal recorded tell, leaf by leaf,
// whether it was exchanged.

#include <set>

#include "Common.h"
#include "SwapJournal.h"

namespace xbagent {

namespace {

std::string Table(const std::string& database, const std::string& table) {
  return SqlIdentifier(database) + "." + SqlIdentifier(table);
}

std::set<std::string> Ids(const std::string& list) {
  std::set<std::string> ids;
  size_t start = 0;
  while (start < list.size()) {
    size_t comma = list.find(',', start);
    if (comma == std::string::npos) comma = list.size();
    if (comma > start) ids.insert(list.substr(start, comma - start));
    start = comma + 1;
  }
  return ids;
}

std::string Listed(const std::set<std::string>& ids) {
  std::string list;
  for (const std::string& id : ids) list += (list.empty() ? "" : ",") + id;
  return list.empty() ? "none" : list;
}

std::string ExchangeStatement(const SwapJournal& journal, const ExchangedTable& table, size_t leaf) {
  return "ALTER TABLE " + Table(journal.target, table.name) + " EXCHANGE PARTITION " +
         SqlIdentifier(table.leaves[leaf]) + " WITH TABLE " +
         Table(journal.shadow, table.work[leaf]);
}

// The target's table holds the leaf's restored tablespace.
bool Exchanged(SqlConnection& sql, const SwapJournal& journal, const ExchangedTable& table,
               size_t leaf) {
  return Ids(SpacesOf(sql, journal.target, table.name)).count(table.restored[leaf]) > 0;
}

}  // namespace

Json ExchangeJson(const ExchangedTable& table) {
  return Json{{"name", table.name},         {"created", table.created},
              {"leaves", table.leaves},     {"work", table.work},
              {"restored", table.restored}, {"live", table.live}};
}

ExchangedTable ExchangeFromJson(const Json& json) {
  ExchangedTable table;
  try {
    table.name = json.at("name").get<std::string>();
    table.created = json.at("created").get<bool>();
    table.leaves = json.at("leaves").get<std::vector<std::string>>();
    table.work = json.at("work").get<std::vector<std::string>>();
    table.restored = json.at("restored").get<std::vector<std::string>>();
    table.live = json.at("live").get<std::string>();
  } catch (const std::exception& e) {
    Fail(std::string("the journal's partition entry is damaged: ") + e.what());
  }
  if (table.work.size() != table.leaves.size() || table.restored.size() != table.leaves.size()) {
    Fail("the journal's partition entry of table " + SqlIdentifier(table.name) + " is damaged");
  }
  return table;
}

void ExchangePartitions(SqlConnection& sql, const SwapJournal& journal) {
  for (const ExchangedTable& table : journal.exchanged) {
    if (table.created && !Opens(sql, journal.target, table.name)) {
      sql.Query("CREATE TABLE " + Table(journal.target, table.name) + " LIKE " +
                Table(journal.shadow, table.name));
    }
    for (size_t leaf = 0; leaf < table.leaves.size(); ++leaf) {
      if (!Exchanged(sql, journal, table, leaf)) sql.Query(ExchangeStatement(journal, table, leaf));
    }
  }
}

// A leaf is exchanged when the target's table holds its restored
// tablespace. Its work table, while it exists (finishing or undoing drops
// the shadow), holds the other side's.
void InspectExchanges(SqlConnection& sql, const SwapJournal& journal, size_t* done, size_t* total,
                      std::string* detail) {
  *done = *total = 0;
  for (const ExchangedTable& table : journal.exchanged) {
    *total += table.leaves.size();
    const std::string live = Table(journal.target, table.name);
    if (!Opens(sql, journal.target, table.name)) {
      if (!table.created) *detail += "; table " + live + " does not open";
      continue;
    }
    const std::set<std::string> old = Ids(table.live);
    std::set<std::string> restored;
    for (const std::string& id : table.restored) restored.insert(id);
    const std::set<std::string> now = Ids(SpacesOf(sql, journal.target, table.name));
    for (size_t leaf = 0; leaf < table.leaves.size(); ++leaf) {
      const bool exchanged = now.count(table.restored[leaf]) > 0;
      *done += exchanged ? 1 : 0;
      const std::string work = SpacesOf(sql, journal.shadow, table.work[leaf]);
      if (work.empty() || (exchanged ? !restored.count(work) : work == table.restored[leaf])) {
        continue;
      }
      *detail += "; table " + Table(journal.shadow, table.work[leaf]) + " holds InnoDB tablespace " +
                 work + ", which " + live + "'s partition " + SqlIdentifier(table.leaves[leaf]) +
                 " does not account for";
    }
    for (const std::string& id : now) {
      if (table.created || old.count(id) || restored.count(id)) continue;
      *detail += "; table " + live + " holds InnoDB tablespace " + id + ", neither one of its own (" +
                 Listed(old) + ") nor a restored one (" + Listed(restored) + ")";
    }
    if (!table.created && now.size() != table.leaves.size()) {
      *detail += "; table " + live + " holds " + std::to_string(now.size()) + " InnoDB tablespaces "
                 "for " + std::to_string(table.leaves.size()) + " partitions";
    }
  }
}

std::string UndoExchanges(SqlConnection& sql, const SwapJournal& journal) {
  std::string problems;
  for (const ExchangedTable& table : journal.exchanged) {
    try {
      if (table.created) {
        sql.Query("DROP TABLE IF EXISTS " + Table(journal.target, table.name));
        continue;
      }
      for (size_t leaf = 0; leaf < table.leaves.size(); ++leaf) {
        if (Exchanged(sql, journal, table, leaf)) sql.Query(ExchangeStatement(journal, table, leaf));
      }
    } catch (const Failure& failure) {
      problems += std::string(problems.empty() ? "" : "; ") + "table " +
                  Table(journal.target, table.name) + " cannot get its old partitions back from '" +
                  journal.shadow + "' (" + failure.what() + ")";
    }
  }
  return problems;
}

}  // namespace xbagent
