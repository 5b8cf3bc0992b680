// One database: after the restore, only its events are replayed into the
// live server (mariadb-binlog --database, rewritten for --as), in a session
// that writes nothing to the binary log.

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../Sql.h"
#include "../Tools.h"
#include "PointInTime.h"

namespace xbagent {

std::vector<std::string> ReplayOthers(const std::vector<std::string>& databases,
                                      const std::string& name, const std::string& asName) {
  std::vector<std::string> others;
  for (const std::string& database : databases) {
    if (database != name) others.push_back(database);
  }
  // --rewrite-db renames only the default database: NAME.t in a statement
  // would still reach the live NAME.
  if (!asName.empty()) others.push_back(name);
  return others;
}

void CheckDatabaseReplay(const ReplayPlan& plan, const std::string& defaultsFile,
                         const std::string& name, const std::string& asName) {
  std::vector<std::string> others;
  {
    SqlConnection sql(defaultsFile, "", "");
    std::vector<std::string> databases;
    for (const SqlRow& row : sql.Query("SHOW DATABASES")) {
      if (!row.empty()) databases.push_back(row[0]);
    }
    others = ReplayOthers(databases, name, asName);
    const std::string format = sql.Scalar("SELECT @@GLOBAL.binlog_format");
    if (format != "ROW") {
      Log().Notice("xbagent: warning: the server logs in " + format +
                    " format; statement-based events are replayed by the database that was the "
                    "default when they ran (ROW format is recommended for a one-database replay)");
    }
  }
  StatementCheck check(name, others);
  const std::string errors = MakeScratchDir("xbagent-pitr-scan");
  std::string why;
  std::vector<std::string> decoder = {BinlogProgram(), "--no-defaults"};
  decoder.insert(decoder.end(), plan.decoderOptions.begin(), plan.decoderOptions.end());
  for (const ArchivedFile& file : plan.files) decoder.push_back(JoinPath(plan.archiveDir, file.file));
  bool ok = RunThrough(decoder, {}, JoinPath(errors, "scan.log"),
                       [&check](const std::string& line) { check.Line(line); }, &why);
  RemoveTree(errors);
  if (!ok) Fail("cannot read the archived binary logs: " + why + "; nothing was changed");
  if (!check.problem().empty()) {
    const std::string live =
        asName.empty() ? std::string()
                       : "; with --as, only the default database is renamed, so a name qualified "
                         "with '" + name + "' would change the live database";
    Fail("the replay of database '" + name + "' cannot be exact: " + check.problem() + live +
         "; nothing was changed (restore the whole server with --full --binlogs instead)");
  }
}

ReplayResult ReplayDatabase(const ReplayPlan& plan, const std::string& defaultsFile,
                            const std::string& name, const std::string& asName) {
  // mariadb-binlog filters by the name in the log, then rewrites it.
  std::vector<std::string> options;
  if (!asName.empty()) options.push_back("--rewrite-db=" + name + "->" + asName);
  options.push_back("--database=" + name);
  const std::vector<std::string> client = {ClientProgram(), "--defaults-file=" + defaultsFile,
                                           "--binary-mode", "--init-command=SET sql_log_bin=0"};
  const std::string scratch = MakeScratchDir("xbagent-pitr");
  try {
    ReplayResult result = ReplayEvents(plan, options, client, JoinPath(scratch, "replay.log"));
    RemoveTree(scratch);
    return result;
  } catch (...) {
    RemoveTree(scratch);
    throw;
  }
}

}  // namespace xbagent
