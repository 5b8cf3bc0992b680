#include "TableImport.h"

#include <unistd.h>

#include <utility>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "TableFiles.h"

namespace xbagent {
namespace restore {

namespace {

class Importer {
 public:
  Importer(Plan& plan, SqlConnection& sql) : plan_(plan), sql_(sql) {
    sourceDir_ = JoinPath(plan.staging, BackupDirectory(plan));
    targetDir_ = JoinPath(plan.datadir, OnDisk(plan.shadow));
  }

  void Import(const Table& table) {
    switch (table.kind) {
      case Kind::kInnoDb:
      case Kind::kFulltext:
        ImportInnoDb(table);
        break;
      case Kind::kPartitioned:
        ImportPartitioned(table);
        break;
      case Kind::kMyIsam:
      case Kind::kAria:
        if (table.partitioned) {
          ImportPartitioned(table);
        } else {
          CopyFlatFiles(table, table.name, table.stem, table.stem);
        }
        break;
      case Kind::kSequence:
      case Kind::kSchemaOnly:
        return;
    }
    Exec(plan_, sql_, table.name, "ANALYZE TABLE " + Name(table.name));
  }

 private:
  std::string Name(const std::string& table) const {
    return Quoted(plan_.shadow) + "." + Quoted(table);
  }
  void Run(const Table& table, const std::string& statement) {
    Exec(plan_, sql_, table.name, statement);
  }

  // Moves the staged files of one tablespace in under stem, then IMPORT.
  void CopyAndImport(const Table& table, const std::string& sqlName, const std::string& sourceStem,
                     const std::string& stem) {
    std::string ibd = JoinPath(targetDir_, stem + ".ibd");
    std::string cfg = JoinPath(targetDir_, stem + ".cfg");
    if (PathExists(ibd)) {
      Fail("table " + Quoted(table.name) + ": " + ibd +
           " still exists after DISCARD TABLESPACE; not copying over it");
    }
    ::unlink(cfg.c_str());
    plan_.bytes += MoveNewFile(plan_, JoinPath(sourceDir_, sourceStem + ".ibd"), ibd);
    plan_.bytes += MoveNewFile(plan_, JoinPath(sourceDir_, sourceStem + ".cfg"), cfg);
    try {
      Run(table, "ALTER TABLE " + Name(sqlName) + " IMPORT TABLESPACE");
    } catch (const Failure&) {
      ::unlink(cfg.c_str());
      ::unlink(ibd.c_str());
      throw;
    }
    ::unlink(cfg.c_str());  // the server has read it
  }

  void ImportInnoDb(const Table& table) {
    std::vector<std::pair<std::string, std::string>> fulltext;
    if (table.kind == Kind::kFulltext) fulltext = FulltextIndexes(table.name);
    Run(table, "ALTER TABLE " + Name(table.name) + " DISCARD TABLESPACE");
    CopyAndImport(table, table.name, table.stem, table.stem);
    if (fulltext.empty()) return;
    // The imported FULLTEXT index is unusable: drop it, rebuild the table
    // without it, add it again.
    for (const auto& index : fulltext) {
      Run(table, "ALTER TABLE " + Name(table.name) + " DROP INDEX " + Quoted(index.first));
    }
    Run(table, "ALTER TABLE " + Name(table.name) + " FORCE");
    for (const auto& index : fulltext) {
      Run(table, "ALTER TABLE " + Name(table.name) + " ADD FULLTEXT INDEX " +
                     Quoted(index.first) + " (" + index.second + ")");
    }
  }

  std::vector<std::pair<std::string, std::string>> FulltextIndexes(const std::string& table) {
    std::vector<std::pair<std::string, std::string>> indexes;
    for (const SqlRow& row : sql_.Query(
             "SELECT INDEX_NAME, COLUMN_NAME FROM information_schema.STATISTICS "
             "WHERE CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(plan_.shadow) +
             " AND CAST(TABLE_NAME AS BINARY) = " + SqlBytes(table) +
             " AND INDEX_TYPE = 'FULLTEXT' ORDER BY INDEX_NAME, SEQ_IN_INDEX")) {
      if (indexes.empty() || indexes.back().first != row[0]) {
        indexes.emplace_back(row[0], Quoted(row[1]));
      } else {
        indexes.back().second += ", " + Quoted(row[1]);
      }
    }
    return indexes;
  }

  // Partition leaves of the shadow table: the name EXCHANGE PARTITION takes
  // and the on-disk stem of its staged files.
  std::vector<std::pair<std::string, std::string>> Leaves(const Table& table) {
    std::vector<std::pair<std::string, std::string>> leaves;
    for (const SqlRow& row : sql_.Query(
             "SELECT PARTITION_NAME, IFNULL(SUBPARTITION_NAME, '') FROM "
             "information_schema.PARTITIONS WHERE CAST(TABLE_SCHEMA AS BINARY) = " +
             SqlBytes(plan_.shadow) + " AND CAST(TABLE_NAME AS BINARY) = " +
             SqlBytes(table.name) +
             " ORDER BY PARTITION_ORDINAL_POSITION, SUBPARTITION_ORDINAL_POSITION")) {
      std::string stem = table.stem + "#P#" + OnDisk(row[0]);
      std::string leaf = row[0];
      if (!row[1].empty()) {
        stem += "#SP#" + OnDisk(row[1]);
        leaf = row[1];
      }
      leaves.emplace_back(leaf, stem);
    }
    return leaves;
  }

  void ImportPartitioned(const Table& table) {
    std::vector<std::pair<std::string, std::string>> leaves = Leaves(table);
    if (leaves.empty()) Fail("table " + Quoted(table.name) + ": the server lists no partitions");
    const bool innodb = table.kind == Kind::kPartitioned;
    for (const auto& leaf : leaves) {
      for (const char* ext : innodb ? std::vector<const char*>{".ibd", ".cfg"} : FlatExtensions(table)) {
        std::string source = JoinPath(sourceDir_, leaf.second + ext);
        if (!IsRegularFile(source)) {
          Fail("table " + Quoted(table.name) + ": the backup has no " + source);
        }
      }
    }
    // One work table for every partition: after EXCHANGE it holds the
    // shadow's empty partition, which the next DISCARD (or copy) replaces.
    const std::string work = "xbagent#work#" + std::to_string(++workCount_);
    const std::string workStem = OnDisk(work);
    Run(table, "CREATE TABLE " + Name(work) + " LIKE " + Name(table.name));
    Run(table, "ALTER TABLE " + Name(work) + " REMOVE PARTITIONING");
    for (const auto& leaf : leaves) {
      CheckStop("nothing was changed");
      if (innodb) {
        Run(table, "ALTER TABLE " + Name(work) + " DISCARD TABLESPACE");
        CopyAndImport(table, work, leaf.second, workStem);
      } else {
        CopyFlatFiles(table, work, leaf.second, workStem);
      }
      Run(table, "ALTER TABLE " + Name(table.name) + " EXCHANGE PARTITION " +
                     Quoted(leaf.first) + " WITH TABLE " + Name(work));
      ++plan_.partitions;
    }
    Run(table, "DROP TABLE " + Name(work));
  }

  static std::vector<const char*> FlatExtensions(const Table& table) {
    if (table.kind == Kind::kAria) return {".MAD", ".MAI"};
    return {".MYD", ".MYI"};
  }

  // MyISAM/Aria: with the empty table locked for export, its data and index
  // files are replaced by the backup's; then the server reopens it.
  void CopyFlatFiles(const Table& table, const std::string& sqlName, const std::string& sourceStem,
                     const std::string& targetStem) {
    Run(table, "FLUSH TABLES " + Name(sqlName) + " FOR EXPORT");
    try {
      for (const char* ext : FlatExtensions(table)) {
        std::string target = JoinPath(targetDir_, targetStem + ext);
        if (!IsRegularFile(target)) Fail("table " + Quoted(table.name) + ": no " + target);
        plan_.bytes += CopyReplacingFile(plan_, JoinPath(sourceDir_, sourceStem + ext), target);
      }
    } catch (const Failure&) {
      try {
        sql_.Query("UNLOCK TABLES");
      } catch (const Failure&) {
      }
      throw;
    }
    Run(table, "UNLOCK TABLES");
    Run(table, "FLUSH TABLES " + Name(sqlName));
  }

  Plan& plan_;
  SqlConnection& sql_;
  std::string sourceDir_;
  std::string targetDir_;
  int workCount_ = 0;
};

}  // namespace

void ImportTable(Plan& plan, SqlConnection& sql, const Table& table) {
  Importer(plan, sql).Import(table);
}

}  // namespace restore
}  // namespace xbagent
