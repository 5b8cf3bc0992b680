#include "RemoteTables.h"

#include <unistd.h>

#include <algorithm>
#include <map>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../RemoteTablespaces.h"
#include "TableFiles.h"

namespace xbagent {
namespace restore {

namespace {

void RefuseForeignKeys(SqlConnection& sql, const std::string& database, const std::string& table,
                       const std::string& what) {
  const std::string count = sql.Scalar(
      "SELECT COUNT(*) FROM information_schema.REFERENTIAL_CONSTRAINTS WHERE "
      "(CAST(CONSTRAINT_SCHEMA AS BINARY) = " + SqlBytes(database) +
      " AND CAST(TABLE_NAME AS BINARY) = " + SqlBytes(table) +
      ") OR (CAST(UNIQUE_CONSTRAINT_SCHEMA AS BINARY) = " + SqlBytes(database) +
      " AND CAST(REFERENCED_TABLE_NAME AS BINARY) = " + SqlBytes(table) + ")");
  if (count != "0") {
    Fail(what + " " + Quoted(table) + " has DATA DIRECTORY and takes part in a foreign key; "
         "this restore does not rebuild such a table outside the data directory (restore the "
         "whole server, or the other tables with --table); nothing was changed");
  }
}

// The DATA DIRECTORY of a live table of the target, "" when its files are in
// the data directory. Refuses a remote table that is not plain InnoDB.
std::string LiveDataDirectory(Plan& plan, const std::string& name) {
  const std::string target = plan.options.target;
  std::vector<SqlRow> rows;
  try {
    rows = plan.sql->Query("SHOW CREATE TABLE " + Quoted(target) + "." + Quoted(name));
  } catch (const Failure& failure) {
    // A table the server cannot open (its tablespace lost) is replaced as
    // any other; its files stay where they are.
    Log().Notice("xbagent: note: the live table " + Quoted(name) + " cannot be opened (" +
                 failure.what() + "); it is replaced like a table in the data directory");
    return std::string();
  }
  if (rows.empty() || rows[0].size() < 2) return std::string();
  const std::string& create = rows[0][1];
  if (create.find(" DATA DIRECTORY") == std::string::npos &&
      create.find(" INDEX DIRECTORY") == std::string::npos) {
    return std::string();
  }
  std::vector<SqlRow> facts = plan.sql->Query(
      "SELECT ENGINE, CREATE_OPTIONS FROM information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS "
      "BINARY) = " + SqlBytes(target) + " AND CAST(TABLE_NAME AS BINARY) = " + SqlBytes(name));
  if (facts.empty() || facts[0][0] != "InnoDB" ||
      facts[0][1].find("partitioned") != std::string::npos) {
    Fail("the live table " + Quoted(name) + " of '" + target + "' has DATA DIRECTORY or INDEX "
         "DIRECTORY and is not a plain InnoDB table; this restore cannot replace it and keep its "
         "files where they are; nothing was changed");
  }
  const std::string suffix = "/" + OnDisk(target) + "/" + OnDisk(name) + ".ibd";
  const std::string path = plan.sql->Scalar(
      "SELECT FILENAME FROM information_schema.INNODB_SYS_TABLESPACES WHERE CAST(NAME AS BINARY) "
      "= " + SqlBytes(OnDisk(target) + "/" + OnDisk(name)));
  if (path.size() <= suffix.size() + 1 || path[0] != '/' ||
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) != 0) {
    Fail("the live table " + Quoted(name) + " has DATA DIRECTORY, but the server names its "
         "tablespace '" + path + "', not DIRECTORY" + suffix + "; nothing was changed");
  }
  RefuseForeignKeys(*plan.sql, target, name, "the live table");
  return path.substr(0, path.size() - suffix.size());
}

void CheckDataDirectory(const Table& table, const std::string& directory) {
  const std::string problem = RemotePathProblem(JoinPath(directory, "t.ibd"));
  if (!problem.empty()) {
    Fail("table " + Quoted(table.name) + ": its DATA DIRECTORY '" + directory + "' " + problem +
         "; nothing was changed");
  }
  if (directory.find_first_of("'\\") != std::string::npos) {
    Fail("table " + Quoted(table.name) + ": its DATA DIRECTORY '" + directory + "' holds a quote "
         "or a backslash, which this restore does not put into a statement; nothing was changed");
  }
  if (!IsDirectory(directory)) {
    Fail("table " + Quoted(table.name) + ": its DATA DIRECTORY " + directory +
         " does not exist on this host; create it (owned by the server's account) or restore "
         "the other tables with --table; nothing was changed");
  }
}

}  // namespace

void RefuseRemoteKind(const Table& table) {
  if (table.kind == Kind::kInnoDb) return;
  std::string what = std::string(KindName(table.kind)) + " table";
  if (table.partitioned) what = "partitioned " + table.engine + " table";
  Fail("table " + Quoted(table.name) + " is a " + what + " with DATA DIRECTORY or INDEX "
       "DIRECTORY; this restore places such files outside the data directory only for plain "
       "InnoDB tables (restore the whole server, or the other tables with --table); nothing "
       "was changed");
}

void PlanRemoteTables(Plan& plan) {
  std::map<std::string, std::string> live;
  for (const std::string& name : plan.swappedOut) {
    std::string directory = LiveDataDirectory(plan, name);
    if (directory.empty()) continue;
    live[name] = directory;
    plan.remoteOut[name] = HiddenTable(plan.identity, "old", plan.remoteOut.size() + 1);
  }
  size_t built = 0;
  for (Table& table : plan.tables) {
    if (table.kind != Kind::kInnoDb) continue;
    const bool exists = std::find(plan.targetTables.begin(), plan.targetTables.end(),
                                  table.name) != plan.targetTables.end();
    std::string directory;
    if (live.count(table.name)) {
      directory = live[table.name];
    } else if (!exists && plan.schema.dataDirectories.count(table.name)) {
      directory = StripTrailingSlashes(plan.schema.dataDirectories.at(table.name));
    } else if (exists && plan.schema.remoteTables.count(table.name)) {
      Log().Notice("xbagent: note: table " + Quoted(table.name) + " had DATA DIRECTORY in the "
                   "backup; the live table is in the data directory, and so is the restored one");
    }
    if (directory.empty()) continue;
    CheckDataDirectory(table, directory);
    table.dataDirectory = directory;
    table.work = HiddenTable(plan.identity, "new", ++built);
  }
}

void CheckRemoteForeignKeys(Plan& plan) {
  for (const Table& table : plan.tables) {
    if (!table.work.empty()) RefuseForeignKeys(*plan.sql, plan.shadow, table.name, "table");
  }
}

void CreateRemoteWorkTable(Plan& plan, SqlConnection& sql, const Table& table) {
  std::vector<SqlRow> rows =
      sql.Query("SHOW CREATE TABLE " + Quoted(plan.shadow) + "." + Quoted(table.name));
  const std::string head = "CREATE TABLE " + Quoted(table.name) + " ";
  if (rows.empty() || rows[0].size() < 2 || rows[0][1].compare(0, head.size(), head) != 0) {
    Fail("table " + Quoted(table.name) + ": the server did not show how the shadow's table "
         "was created");
  }
  const std::string target = Quoted(plan.options.target);
  if (!plan.targetExists && !plan.targetCreated) {
    const std::string journal = Quoted(plan.shadow) + "." + Quoted(kCreatedJournal);
    Exec(plan, sql, "", "CREATE TABLE " + journal + " (db VARCHAR(64) NOT NULL) ENGINE=InnoDB");
    Exec(plan, sql, "", "INSERT INTO " + journal + " VALUES (" + SqlLiteral(plan.options.target) + ")");
    Exec(plan, sql, "", "CREATE DATABASE " + target + " " + plan.schema.databaseOptions);
    plan.targetCreated = true;
  }
  Exec(plan, sql, table.name, "CREATE TABLE " + target + "." + Quoted(table.work) + " " +
                                  rows[0][1].substr(head.size()) + " DATA DIRECTORY = '" +
                                  table.dataDirectory + "'");  // no quote, no backslash in it
  // A server running with NO_DIR_IN_CREATE ignores the directory: the files
  // would not be where the import puts them.
  const std::string database = OnDisk(plan.options.target);
  const std::string expected = RemoteTablespacePath(table.dataDirectory, database, OnDisk(table.work));
  const std::string path = sql.Scalar(
      "SELECT FILENAME FROM information_schema.INNODB_SYS_TABLESPACES WHERE CAST(NAME AS BINARY) "
      "= " + SqlBytes(database + "/" + OnDisk(table.work)));
  if (path != expected) {
    Fail("table " + Quoted(table.name) + ": the server put the tablespace of its work table at '" +
         path + "', not " + expected + " (is NO_DIR_IN_CREATE in the server's sql_mode?)");
  }
}

std::string RemoteTablespacePath(const std::string& dataDirectory, const std::string& database,
                                 const std::string& stem) {
  return JoinPath(JoinPath(dataDirectory, database), stem + ".ibd");
}

bool DropHiddenTable(Plan& plan, const std::string& database, const std::string& name,
                     std::string* error) {
  const std::string link =
      JoinPath(JoinPath(plan.datadir, OnDisk(database)), OnDisk(name) + ".isl");
  std::string remote;
  try {
    remote = Trim(ReadSmallFile(link, 8192));
  } catch (const Failure&) {
  }
  try {
    std::unique_ptr<SqlConnection> sql = Connect(plan, false);
    sql->Query("DROP TABLE IF EXISTS " + Quoted(database) + "." + Quoted(name));
  } catch (const Failure& failure) {
    *error = "cannot drop table " + Quoted(database) + "." + Quoted(name) + ": " + failure.what();
    return false;
  }
  // A run killed while it copied leaves its files at the remote path (only
  // ever this hidden table's own name).
  const std::string stem = OnDisk(name);
  if (RemotePathProblem(remote).empty() && BaseName(remote) == stem + ".ibd") {
    ::unlink(remote.c_str());
    ::unlink((remote.substr(0, remote.size() - 4) + ".cfg").c_str());
  }
  ::unlink(link.c_str());
  return true;
}

}  // namespace restore
}  // namespace xbagent
