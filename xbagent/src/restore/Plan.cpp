// What the phases of the one-database restore share: names of this run,
// connections with the restore's session settings, and statements that say
// what failed and who holds a lock.

#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "../Common.h"
#include "../Log.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kInnoDb: return "InnoDB";
    case Kind::kFulltext: return "InnoDB FULLTEXT";
    case Kind::kPartitioned: return "partitioned";
    case Kind::kMyIsam: return "MyISAM";
    case Kind::kAria: return "Aria";
    case Kind::kSequence: return "sequence";
    case Kind::kSchemaOnly: return "schema only";
  }
  return "?";
}

const char* KindSteps(Kind kind, bool partitioned) {
  switch (kind) {
    case Kind::kInnoDb:
      return "DISCARD TABLESPACE, copy .ibd/.cfg, IMPORT TABLESPACE, ANALYZE";
    case Kind::kFulltext:
      return "DISCARD, copy, IMPORT with the index, DROP INDEX, FORCE, ADD FULLTEXT, ANALYZE";
    case Kind::kPartitioned:
      return "one work table: per partition DISCARD, copy, IMPORT, EXCHANGE PARTITION; ANALYZE";
    case Kind::kMyIsam:
    case Kind::kAria:
      return partitioned ? "one work table: per partition copy files, EXCHANGE PARTITION; ANALYZE"
                         : "FLUSH TABLES FOR EXPORT, replace data and index files, FLUSH; ANALYZE";
    case Kind::kSequence:
      return "created from the schema with its value at backup time";
    case Kind::kSchemaOnly:
      return "created from the schema (no data of its own)";
  }
  return "";
}

namespace {

// A session setting the restore needs; its failure names the statement, the
// privilege the server asks for, and what changed.
void SetUpSession(const Plan& plan, SqlConnection& sql, const std::string& statement) {
  try {
    sql.Query(statement);
  } catch (const Failure& failure) {
    const std::string reason =
        sql.LastErrorNumber() != 0 ? sql.LastErrorText() : std::string(failure.what());
    const bool denied = reason.find("Access denied") != std::string::npos;
    Fail("the restore's session setting " + statement + " failed: " + reason +
         (denied ? std::string("; the user of the defaults file needs that privilege (for "
                               "sql_log_bin: GRANT BINLOG ADMIN ON *.* TO the user)")
                 : std::string()) +
         (plan.journalled ? std::string() : std::string("; nothing was changed")));
  }
}

}  // namespace

std::unique_ptr<SqlConnection> Connect(const Plan& plan, bool cancellable) {
  const Options& o = plan.options;
  std::unique_ptr<SqlConnection> sql(new SqlConnection(o.defaultsFile, o.socket, o.user));
  // Nothing the restore does goes to the binary log: each replica is
  // restored on its own.
  SetUpSession(plan, *sql, "SET SESSION sql_log_bin = 0");
  SetUpSession(plan, *sql, "SET SESSION lock_wait_timeout = " + std::to_string(o.lockWaitSeconds));
  SetUpSession(plan, *sql, "SET SESSION foreign_key_checks = 0");
  if (cancellable) sql->SetCancel([] { return StopRequested(); });
  return sql;
}

std::string Quoted(const std::string& name) { return SqlIdentifier(name); }

std::string JoinNames(const std::vector<std::string>& names, size_t limit) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < limit; ++i) {
    if (!text.empty()) text += ", ";
    text += Quoted(names[i]);
  }
  if (names.size() > limit) text += ", ... (" + std::to_string(names.size()) + " in all)";
  return text;
}

std::vector<std::string> ListTables(SqlConnection& sql, const std::string& database) {
  return TablesOf(sql, database);
}

std::string ForeignKeyColumns(SqlConnection& sql, const ForeignKey& key, bool referenced) {
  std::string list;
  for (const SqlRow& row : sql.Query(
           std::string("SELECT ") + (referenced ? "REFERENCED_COLUMN_NAME" : "COLUMN_NAME") +
           " FROM information_schema.KEY_COLUMN_USAGE WHERE CAST(CONSTRAINT_SCHEMA AS BINARY) = " +
           SqlBytes(key.schema) + " AND CAST(TABLE_NAME AS BINARY) = " + SqlBytes(key.table) +
           " AND CAST(CONSTRAINT_NAME AS BINARY) = " + SqlBytes(key.name) +
           " AND REFERENCED_TABLE_NAME IS NOT NULL ORDER BY ORDINAL_POSITION")) {
    if (!list.empty()) list += ", ";
    list += Quoted(row[0]);
  }
  return list;
}

void CheckStop(const std::string& state) {
  if (StopRequested()) Fail("interrupted; " + state);
}

namespace {

// Who may hold the metadata lock a statement waited for: the lock table of
// the metadata_lock_info plugin when it is installed, else the sessions in a
// transaction or using the database.
std::string Blockers(Plan& plan, SqlConnection& sql) {
  std::string databases = SqlLiteral(plan.options.target) + ", " + SqlLiteral(plan.shadow);
  std::string text;
  try {
    for (const SqlRow& row : sql.Query(
             "SELECT DISTINCT m.THREAD_ID, m.LOCK_MODE, m.TABLE_SCHEMA, m.TABLE_NAME, "
             "IFNULL(p.USER, ''), IFNULL(p.COMMAND, ''), IFNULL(p.TIME, '') "
             "FROM information_schema.METADATA_LOCK_INFO m LEFT JOIN "
             "information_schema.PROCESSLIST p ON p.ID = m.THREAD_ID "
             "WHERE m.THREAD_ID <> CONNECTION_ID() AND m.TABLE_SCHEMA IN (" + databases +
             ") LIMIT 5")) {
      text += (text.empty() ? "" : "; ") + std::string("session ") + row[0] + " (user " + row[4] +
              ", " + row[5] + " for " + row[6] + " s) holds " + row[1] + " on " +
              Quoted(row[2]) + "." + Quoted(row[3]);
    }
    if (!text.empty()) return text;
  } catch (const Failure&) {
    // No metadata_lock_info plugin: fall back to the process list.
  }
  try {
    for (const SqlRow& row : sql.Query(
             "SELECT p.ID, p.USER, IFNULL(p.DB, ''), p.COMMAND, p.TIME, "
             "IF(t.trx_id IS NULL, '', ', in a transaction'), IFNULL(LEFT(p.INFO, 60), '') "
             "FROM information_schema.PROCESSLIST p LEFT JOIN information_schema.INNODB_TRX t "
             "ON t.trx_mysql_thread_id = p.ID WHERE p.ID <> CONNECTION_ID() AND "
             "p.COMMAND NOT IN ('Daemon', 'Binlog Dump', 'Killed') AND "
             "(t.trx_id IS NOT NULL OR p.DB IN (" + databases + ")) ORDER BY p.TIME DESC LIMIT 5")) {
      text += (text.empty() ? "" : "; ") + std::string("session ") + row[0] + " (user " + row[1] +
              (row[2].empty() ? "" : ", database " + Quoted(row[2])) + ", " + row[3] + " for " +
              row[4] + " s" + row[5] + (row[6].empty() ? "" : ": " + row[6]) + ")";
    }
  } catch (const Failure&) {
  }
  return text.empty() ? std::string("no session found in the process list") : text;
}

}  // namespace

void Exec(Plan& plan, SqlConnection& sql, const std::string& table, const std::string& statement) {
  Log().Detail(Verbosity::kDebug, "sql: " + statement);
  try {
    sql.Query(statement);
  } catch (const Failure& failure) {
    // The statement is named here, so the server's own text follows it.
    const std::string text =
        sql.LastErrorNumber() != 0 ? sql.LastErrorText() : std::string(failure.what());
    std::string where = table.empty() ? std::string() : "table " + Quoted(table) + ": ";
    if (StopRequested()) Fail("interrupted during " + where + statement);
    if (sql.LastErrorNumber() == kErLockWaitTimeout) {
      std::unique_ptr<SqlConnection> probe = Connect(plan);
      Fail(where + statement + ": waited " + std::to_string(plan.options.lockWaitSeconds) +
           " s (--lock-wait-timeout) for a metadata lock; held by: " + Blockers(plan, *probe));
    }
    Fail(where + statement + ": " + text);
  }
}

}  // namespace restore
}  // namespace xbagent

#include <XtraBackup/XtraBackupUtil.h>

namespace xbagent {
namespace restore {

std::string OnDisk(const std::string& name) {
  // A name from before 5.1's encoding ("#mysql50#old-db", a directory made
  // by hand): the server keeps the part after the prefix as it is.
  static const std::string kMysql50 = "#mysql50#";
  if (name.size() > kMysql50.size() && name.compare(0, kMysql50.size(), kMysql50) == 0) {
    return name.substr(kMysql50.size());
  }
  static XtraBackup::XtraBackupUtil names;
  std::string encoded;
  names.convertSpecialCharsToHexChars(name, encoded);
  return encoded;
}

std::string BackupDirectory(const Plan& plan) {
  const std::string& recorded = plan.manifest.databaseOnDisk;
  return recorded.empty() ? OnDisk(plan.options.database) : recorded;
}

std::string ScratchBase() {
  const char* base = std::getenv("TMPDIR");
  return base && *base ? std::string(base) : std::string("/tmp");
}

}  // namespace restore
}  // namespace xbagent
