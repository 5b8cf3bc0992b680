// The .cfg files of a database kept under a name from before 5.1's encoding
// ("#mysql50#old-db"). The tool's prepare --export names each table from its
// directory and file and leaves out the tables of such a directory: no .cfg
// is written for them (measured with MariaDB 10.11's mariabackup). Its
// bootstrap server, run again on the prepared copy with FLUSH TABLES ... FOR
// EXPORT of those tables under their SQL name, writes them.

#include <unistd.h>

#include <string>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../Tools.h"
#include "TableFiles.h"

namespace xbagent {
namespace restore {

namespace {

constexpr size_t kOutputBytes = 16 * 1024;
constexpr char kExportScript[] = "xbagent-export.sql";

bool Exported(const Table& table) {
  return table.kind == Kind::kInnoDb || table.kind == Kind::kFulltext ||
         table.kind == Kind::kPartitioned;
}

}  // namespace

void ExportOldNameTables(Plan& plan) {
  if (plan.options.database.compare(0, 9, "#mysql50#") != 0) return;
  std::string list;
  for (const Table& table : plan.tables) {
    if (!Exported(table)) continue;
    list += std::string(list.empty() ? "" : ", ") + Quoted(plan.options.database) + "." +
            Quoted(table.name);
  }
  if (list.empty()) return;
  const std::string script = JoinPath(plan.staging, kExportScript);
  WriteFileAtomically(script, "FLUSH TABLES " + list + " FOR EXPORT;\nUNLOCK TABLES;\n");
  ToolDir tools(plan.options.toolDir);
  const std::string command =
      "cd " + ShellQuote(plan.staging) + " && exec " +
      ShellQuote(JoinPath(tools.path(), "xtrabackup")) +
      " --mysqld --defaults-file=./backup-my.cnf --defaults-group-suffix= --datadir=. --innodb "
      "--innodb-fast-shutdown=0 --loose-partition --innodb-buffer-pool-size=100663296 "
      "--console --log-error= --skip-log-bin --bootstrap < " + ShellQuote(script);
  std::string output;
  const int status = RunAndCapture(command, &output, kOutputBytes);
  ::unlink(script.c_str());
  if (status != 0) {
    const std::string text = Trim(output);
    const size_t lastLine = text.rfind('\n');
    Fail("writing the .cfg files of database '" + plan.options.database + "' failed (exit " +
         std::to_string(status) + "): " +
         (lastLine == std::string::npos ? text : text.substr(lastLine + 1)) +
         "; nothing was changed");
  }
  Log().Detail(Verbosity::kVerbose, "export of " + list + " written by the tool's bootstrap server");
}

}  // namespace restore
}  // namespace xbagent
