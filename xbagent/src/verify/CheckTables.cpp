// CHECK TABLE on every table of the throwaway server, after comparing the
// table list and the engines with the manifest.

#include <memory>

#include "../Common.h"
#include "../Log.h"
#include "../Sql.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

std::string Scope(const ManifestSummary& manifest) {
  if (manifest.kind == "database") {
    return "CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(manifest.database);
  }
  return "TABLE_SCHEMA NOT IN ('information_schema', 'performance_schema')";
}

std::vector<FoundTable> ListTables(SqlConnection& sql, const ManifestSummary& manifest) {
  std::vector<FoundTable> found;
  for (const SqlRow& row :
       sql.Query("SELECT TABLE_SCHEMA, TABLE_NAME, IFNULL(ENGINE, '') "
                 "FROM information_schema.TABLES "
                 "WHERE TABLE_TYPE IN ('BASE TABLE', 'SYSTEM VERSIONED', 'SEQUENCE') AND " +
                 Scope(manifest))) {
    found.push_back(FoundTable{row[0], row[1], row[2]});
  }
  return found;
}

std::unique_ptr<SqlConnection> Connect(ScratchServer& server) {
  return std::unique_ptr<SqlConnection>(
      new SqlConnection(server.defaultsFile(), server.socket(), "root"));
}

// Runs CHECK TABLE; on a lost server, reconnects once. Returns false when
// the server no longer answers.
bool CheckOne(std::unique_ptr<SqlConnection>& sql, ScratchServer& server, TableCheck* check) {
  try {
    std::vector<SqlRow> rows = sql->Query("CHECK TABLE " + SqlIdentifier(check->database) + "." +
                                          SqlIdentifier(check->name));
    JudgeCheckRows(rows, &check->result, &check->message);
    return true;
  } catch (const Failure& failure) {
    check->result = "CORRUPT";
    check->message = failure.what();
  }
  try {
    sql = Connect(server);
    return true;
  } catch (const Failure&) {
    check->message += " (the throwaway server stopped: " + server.ErrorLogTail() + ")";
    return false;
  }
}

}  // namespace

std::vector<TableCheck> CheckAllTables(ScratchServer& server, const ManifestSummary& manifest) {
  std::unique_ptr<SqlConnection> sql = Connect(server);
  std::vector<ManifestTable> listed;
  std::vector<ManifestTable> unsupported;
  ManifestTables(manifest.document, &listed, &unsupported);
  std::vector<TableCheck> checks =
      CompareWithManifest(listed, unsupported, ListTables(*sql, manifest));
  bool serverUp = true;
  for (TableCheck& check : checks) {
    if (StopRequested()) Fail("interrupted");
    if (check.result == "MISSING" || check.result == "SKIPPED") continue;
    if (!serverUp) {
      check.result = "UNCHECKED";
      check.message = "the throwaway server had stopped";
      continue;
    }
    std::string listResult = check.result;
    std::string listMessage = check.message;
    serverUp = CheckOne(sql, server, &check);
    // A difference from the manifest stays the finding when the table itself
    // checks out.
    if (!listResult.empty() && check.result == "OK") {
      check.result = listResult;
      check.message = listMessage;
    }
    Log().Detail(Verbosity::kVerbose, "CHECK TABLE " + check.database + "." + check.name + ": " +
                                          check.result);
  }
  return checks;
}

}  // namespace xbagent
