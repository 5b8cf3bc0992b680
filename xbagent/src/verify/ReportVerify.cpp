// What verify found: a line per table and the verdict on standard output
// (or the JSON with --json), and verify.json in the backup directory, which
// no checksum of the manifest covers.

#include <cstdio>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

std::string TableLine(const TableCheck& check) {
  char result[16];
  std::snprintf(result, sizeof result, "%-9s", check.result.c_str());
  std::string line = std::string(result) + " " + check.database + "." + check.name;
  if (!check.engine.empty()) line += " (" + check.engine + ")";
  if (!check.message.empty()) line += ": " + check.message;
  return line;
}

std::string VerdictLine(const VerifyReport& report) {
  size_t ok = 0;
  for (const TableCheck& check : report.tables) ok += check.result == "OK" ? 1 : 0;
  std::string counts = std::to_string(ok) + " of " + std::to_string(report.tables.size()) +
                       " tables OK, " + HumanSeconds(report.durationSeconds);
  if (report.Ok()) return "verdict: OK (" + counts + ")";
  return "verdict: FAILED (" + counts + ")" +
         (report.reason.empty() ? std::string() : ": " + report.reason);
}

}  // namespace

void ReportVerify(const VerifyOptions& options, const VerifyReport& report) {
  const std::string json = VerifyJsonText(report);
  const std::string path = JoinPath(options.backupDir, kVerifyFile);
  try {
    WriteFileAtomically(path, json);
  } catch (const Failure& failure) {
    Log().Error("xbagent verify: the result could not be recorded: " + std::string(failure.what()));
  }
  if (options.json) {
    std::fputs(json.c_str(), stdout);
  } else {
    for (const TableCheck& check : report.tables) std::printf("%s\n", TableLine(check).c_str());
    std::printf("%s\n", VerdictLine(report).c_str());
  }
  std::fflush(stdout);
}

}  // namespace xbagent
