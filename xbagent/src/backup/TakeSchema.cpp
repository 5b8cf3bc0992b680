// xbagent backup, schema phase: a one-database backup carries its schema
// (tables, views, triggers, routines, events, sequences) as mariadb-dump
// writes it. The dump runs before and after the stream (SchemaDifference.cpp
// compares them).

#include <string>

#include "../Common.h"
#include "../Log.h"
#include "../StopWatcher.h"
#include "../ToolOutput.h"
#include "../Tools.h"
#include "BackupPhases.h"

namespace xbagent {

std::string SchemaCommand(const BackupOptions& options) {
  std::string dump = FindProgram({"mariadb-dump", "mysqldump"});
  if (dump.empty()) Fail("mariadb-dump is not on PATH (install mariadb-client)");
  std::string command = ShellQuote(dump) + " --defaults-file=" + ShellQuote(options.defaultsFile);
  if (!options.socket.empty()) command += " --socket=" + ShellQuote(options.socket);
  if (!options.user.empty()) command += " --user=" + ShellQuote(options.user);
  command += " --no-data --routines --triggers --events --skip-dump-date --databases " +
             ShellQuote(options.database);
  return command;
}

std::string DumpSchema(XtraBackup::XtraBackupUtil& util, const BackupOptions& options) {
  std::string command = SchemaCommand(options);
  Log().Detail(Verbosity::kVerbose, "schema: " + command);
  std::string schema;
  CKaError status;
  {
    StopWatcher watch(nullptr);  // the tool runs on an object of the library's own
    status = util.getSchemaDataForXtrabackup(command, schema);
  }
  if (StopRequested()) Fail("interrupted");
  if (status.IsError()) {
    Fail("the schema dump failed: " + ReasonFromText(status.AsString(), "mariadb-dump"));
  }
  if (schema.find("CREATE DATABASE") == std::string::npos) {
    Fail("the schema dump of database '" + options.database + "' holds no CREATE DATABASE");
  }
  return schema;
}

}  // namespace xbagent
