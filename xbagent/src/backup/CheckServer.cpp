// xbagent backup, first phase: the server answers with these settings, and
// what it holds: its tables, InnoDB tablespaces, the names on disk, and the
// tables the one-database restore cannot bring back.

#include <climits>
#include <cerrno>
#include <cstdlib>
#include <set>
#include <string>

#include <unistd.h>
#include <utility>
#include <vector>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

constexpr char kMysql50Prefix[] = "#mysql50#";

// Engines whose tables `restore --database` brings back (data or schema).
bool OneDatabaseRestoreHandles(const std::string& engine) {
  static const char* const kEngines[] = {"InnoDB", "MyISAM", "MRG_MyISAM", "Aria",
                                         "MEMORY", "BLACKHOLE"};
  for (const char* known : kEngines) {
    if (engine == known) return true;
  }
  return false;
}

void DescribeServer(SqlConnection& sql, ServerFacts* facts) {
  std::vector<SqlRow> rows =
      sql.Query("SELECT VERSION(), SUBSTRING_INDEX(USER(), '@', 1), @@datadir, @@hostname, "
                "@@log_bin");
  if (rows.empty() || rows[0].size() < 5) Fail("the server did not describe itself");
  facts->version = rows[0][0];
  facts->user = rows[0][1];
  facts->datadir = StripTrailingSlashes(rows[0][2]);
  facts->hostname = rows[0][3];
  facts->logBin = rows[0][4] == "1";
}

void ListTables(SqlConnection& sql, XtraBackup::XtraBackupUtil& util, const std::string& scope,
                ServerFacts* facts) {
  std::set<std::pair<std::string, std::string>> fulltext;
  for (const SqlRow& row :
       sql.Query("SELECT DISTINCT TABLE_SCHEMA, TABLE_NAME FROM information_schema.STATISTICS "
                 "WHERE INDEX_TYPE = 'FULLTEXT' AND " + scope)) {
    fulltext.emplace(row[0], row[1]);
  }
  for (const SqlRow& row :
       sql.Query("SELECT TABLE_SCHEMA, TABLE_NAME, IFNULL(ENGINE, ''), "
                 "IFNULL(CREATE_OPTIONS, '') LIKE '%partitioned%' "
                 "FROM information_schema.TABLES "
                 "WHERE TABLE_TYPE IN ('BASE TABLE', 'SYSTEM VERSIONED', 'SEQUENCE') AND " +
                 scope + " ORDER BY TABLE_SCHEMA, TABLE_NAME")) {
    ManifestTable table;
    table.database = row[0];
    table.name = row[1];
    table.onDisk = OnDiskName(util, row[0]) + "/" + OnDiskName(util, row[1]);
    table.engine = row[2];
    table.partitioned = row[3] == "1";
    table.fulltext = fulltext.count({row[0], row[1]}) != 0;
    facts->tables.push_back(table);
  }
}

void ListTablespaces(SqlConnection& sql, ServerFacts* facts) {
  try {
    for (const SqlRow& row : sql.Query("SELECT NAME FROM information_schema.INNODB_SYS_TABLESPACES "
                                       "WHERE NAME LIKE '%/%'")) {
      facts->tablespaces.push_back(row[0]);
    }
    facts->tablespacesKnown = true;
  } catch (const Failure& failure) {
    Log().Detail(Verbosity::kVerbose, std::string("InnoDB tablespaces not listed: ") +
                                          failure.what());
  }
}

// A one-database backup is for the one-database restore: name, in the
// output and the manifest, each table whose data that restore cannot bring back.
void NameUnsupportedEngines(ServerFacts* facts) {
  for (const ManifestTable& table : facts->tables) {
    if (OneDatabaseRestoreHandles(table.engine)) continue;
    facts->unsupported.push_back(table);
    Log().Notice("xbagent: warning: table " + SqlIdentifier(table.database) + "." +
                 SqlIdentifier(table.name) + " uses the " +
                 (table.engine.empty() ? std::string("unknown") : table.engine) +
                 " engine, which restore --database cannot bring back (a whole-server "
                 "restore can)");
  }
}

// The path with its symbolic links resolved as far as it exists, the rest
// (not yet made) appended.
std::string ResolvedPath(const std::string& path) {
  std::string existing = StripTrailingSlashes(AbsolutePath(path));
  std::string rest;
  while (!PathExists(existing) && existing != "/" && !existing.empty()) {
    rest = "/" + BaseName(existing) + rest;
    existing = DirName(existing);
  }
  char resolved[PATH_MAX];
  if (::realpath(existing.c_str(), resolved) == nullptr) return existing + rest;
  const std::string base = resolved;
  return (base == "/" ? std::string() : base) + rest;
}

// --datadir, when given, is the server's own (as seen from here).
void CheckGivenDatadir(const BackupOptions& options, const ServerFacts& facts) {
  if (options.datadir.empty()) return;
  if (!IsDirectory(options.datadir)) {
    Fail("--datadir " + options.datadir + " is not a directory (the server's is " +
         facts.datadir + ")");
  }
  if (IsDirectory(facts.datadir) && !SameFile(options.datadir, facts.datadir)) {
    Fail("--datadir " + options.datadir + " is not the server's data directory " + facts.datadir +
         " (@@datadir); leave --datadir out, or give the server's own");
  }
}

// The tool reads the data directory as this user; say so before it fails on
// its redo log.
void CheckReadable(const std::string& datadir) {
  if (!IsDirectory(datadir)) {
    Fail("the server's data directory " + datadir + " is not on this host: backups run on the "
         "server's host, where the tool reads the data directory");
  }
  for (const std::string& path : {datadir, JoinPath(datadir, "ib_logfile0")}) {
    if (PathExists(path) && ::access(path.c_str(), R_OK) != 0) {
      Fail("cannot read " + path + ": " + ErrnoText(errno) + "; the backup tool reads the data "
           "directory as this user (uid " + std::to_string(::geteuid()) + "): run xbagent as "
           "root or as the data directory's owner");
    }
  }
}

// A backup directory inside the data directory would be listed by the
// server as a database.
void CheckOutsideDatadir(const BackupOptions& options, const std::string& datadir) {
  if (options.toStdout) return;
  const std::string output = ResolvedPath(options.outputDir);
  const std::string data = ResolvedPath(datadir);
  if (output == data || output.compare(0, data.size() + 1, data + "/") == 0) {
    Fail("the output directory " + AbsolutePath(options.outputDir) + " lies inside the server's "
         "data directory " + data + ", where the server would take it for a database; choose "
         "a directory outside it");
  }
}

// The tool locks each table of another engine than InnoDB with a BACKUP
// LOCK statement in which it quotes the names without doubling a backtick:
// a backtick in the database or table name makes that statement a syntax
// error and the tool fails halfway ("failed to execute query BACKUP LOCK").
// Refused before the tool runs, naming the table.
void RefuseBacktickNames(const ServerFacts& facts) {
  for (const ManifestTable& table : facts.tables) {
    if (table.engine == "InnoDB") continue;
    if (table.database.find('`') == std::string::npos &&
        table.name.find('`') == std::string::npos) {
      continue;
    }
    Fail("table " + SqlIdentifier(table.database) + "." + SqlIdentifier(table.name) + " (" +
         (table.engine.empty() ? std::string("unknown") : table.engine) +
         " engine) has a backtick in its " +
         (table.database.find('`') != std::string::npos ? "database" : "table") +
         " name, which the backup tool cannot lock: it quotes such names without escaping "
         "the backtick, and its BACKUP LOCK statement fails; rename it (RENAME TABLE), or make "
         "it InnoDB, before the backup; nothing was backed up");
  }
}

}  // namespace

void CheckPlaces(const BackupOptions& options, const ServerFacts& facts) {
  CheckGivenDatadir(options, facts);
  const std::string datadir = options.datadir.empty() ? facts.datadir : options.datadir;
  CheckReadable(datadir);
  CheckOutsideDatadir(options, datadir);
}

std::string OnDiskName(XtraBackup::XtraBackupUtil& util, const std::string& name) {
  if (name.compare(0, sizeof kMysql50Prefix - 1, kMysql50Prefix) != 0) {
    std::string encoded;
    util.convertSpecialCharsToHexChars(name, encoded);
    return encoded;
  }
  // A name from before 5.1's encoding: the server keeps its directory or
  // file name exactly as written after the prefix.
  std::string raw = name.substr(sizeof kMysql50Prefix - 1);
  if (raw.empty() || raw == "." || raw == ".." || raw.find('/') != std::string::npos ||
      raw.find('\0') != std::string::npos) {
    Fail("'" + name + "' names no usable directory or file (after " + kMysql50Prefix + ")");
  }
  return raw;
}

ServerFacts CheckServer(SqlConnection& sql, const BackupOptions& options) {
  XtraBackup::XtraBackupUtil util;  // for the name encoder only
  ServerFacts facts;
  DescribeServer(sql, &facts);
  std::string scope;
  if (options.oneDatabase) {
    std::string exists = sql.Scalar(
        "SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE CAST(SCHEMA_NAME AS BINARY) = " +
        SqlBytes(options.database));
    if (exists != "1") {
      std::string hint;
      if (options.database.compare(0, sizeof kMysql50Prefix - 1, kMysql50Prefix) == 0) {
        hint = " (a directory that is not a database name needs the '#mysql50#' prefix "
               "exactly as SHOW DATABASES shows it)";
      }
      Fail("database '" + options.database + "' does not exist on the server" + hint);
    }
    facts.databaseOnDisk = OnDiskName(util, options.database);
    scope = "CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(options.database);
  } else {
    scope = "TABLE_SCHEMA NOT IN ('information_schema', 'performance_schema')";
  }
  ListTables(sql, util, scope, &facts);
  RefuseBacktickNames(facts);
  ListTablespaces(sql, &facts);
  if (options.oneDatabase) NameUnsupportedEngines(&facts);
  return facts;
}

}  // namespace xbagent
