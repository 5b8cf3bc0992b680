// What the server has: its binary logs and, when this host can read them,
// where they are.

#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "../Sql.h"
#include "../SwapJournal.h"
#include "ArchivePhases.h"

namespace xbagent {

std::vector<ServerLog> ServerBinaryLogs(const std::string& defaultsFile) {
  SqlConnection sql(defaultsFile, "", "");
  // A restore that died in its swap is finished or undone by whichever
  // xbagent command reaches the server next.
  FinishAbandonedRestores(sql);
  std::vector<ServerLog> logs;
  std::vector<SqlRow> rows;
  try {
    rows = sql.Query("SHOW BINARY LOGS");
  } catch (const Failure& failure) {
    Fail(std::string("the server keeps no binary log to archive (") + failure.what() + ")");
  }
  for (const SqlRow& row : rows) {
    ServerLog log;
    if (row.size() < 2 || !ParseUnsigned(row[1], &log.size)) continue;
    log.file = row[0];
    std::string base;
    uint64_t number = 0;
    if (!SplitLogName(log.file, &base, &number)) Fail("the server names a binary log '" + log.file + "'");
    logs.push_back(log);
  }
  if (logs.empty()) Fail("the server lists no binary log");
  return logs;
}

std::string ServerLogDirectory(const std::string& defaultsFile) {
  SqlConnection sql(defaultsFile, "", "");
  std::string base = sql.Scalar("SELECT @@log_bin_basename");
  if (base.empty() || base[0] != '/') return std::string();
  std::string dir = DirName(base);
  return ::access(dir.c_str(), R_OK | X_OK) == 0 ? dir : std::string();
}

}  // namespace xbagent
