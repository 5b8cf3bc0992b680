// xbagent verify DIR: the phases in order. The scratch directory is removed
// and the throwaway server stopped on every path (a failure, an interrupt):
// the server is declared after the directory's guard, so it stops first.

#include <cerrno>
#include <cstdlib>
#include <vector>

#include <stdlib.h>

#include "../Commands.h"
#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../StreamCodec.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

std::string ScratchParent(const VerifyOptions& options) {
  if (!options.scratchParent.empty()) return options.scratchParent;
  const char* tmp = std::getenv("TMPDIR");
  return tmp && *tmp ? tmp : "/tmp";
}

std::string MakeScratch(const VerifyOptions& options) {
  const std::string parent = ScratchParent(options);
  std::string pattern = JoinPath(parent, "xbverify-XXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    Fail("cannot create a scratch directory like " + pattern + ": " + ErrnoText(errno));
  }
  return buffer.data();
}

void RestoreAndCheck(const VerifyOptions& options, const ManifestSummary& manifest,
                     VerifyReport* report) {
  PathGuard scratchGuard(MakeScratch(options));
  const std::string scratch = scratchGuard.path();
  ScratchServer server(scratch);
  server.GiveToServerUser(scratch);
  if (manifest.kind == "server") {
    PrepareServerCopy(options, manifest, server);
    server.Start(true);
  } else {
    ImportDatabaseCopy(options, manifest, server, scratch);
  }
  report->serverVersion = manifest.serverVersion;
  report->tables = CheckAllTables(server, manifest);
  if (!server.Stop()) report->reason = "the throwaway server had stopped by itself";
}

}  // namespace

int RunVerify(const ArgList& args) {
  const VerifyOptions options = ParseVerifyOptions(args);
  if (!IsDirectory(options.backupDir)) Fail("backup directory " + options.backupDir +
                                            " does not exist");
  const ManifestSummary manifest = LoadManifest(options.backupDir);
  // A missing or wrong key, or another server version here, says nothing
  // about the backup: no verdict.
  CheckServerVersion(manifest.serverVersion);
  CheckScratchReachable(AbsolutePath(ScratchParent(options)));
  if (manifest.encoding.encrypted) {
    CheckStreamKey(JoinPath(options.backupDir, manifest.streamFile),
                   KeyForBackup(manifest.encoding, options.keyFile));
  }
  VerifyReport report;
  report.kind = manifest.kind;
  report.database = manifest.database;
  report.verifiedAt = UtcTimestamp();
  const double started = MonotonicSeconds();
  Log().Notice("xbagent: verifying " + options.backupDir + " by restoring it on a throwaway " +
               "server");
  try {
    RestoreAndCheck(options, manifest, &report);
  } catch (const Failure& failure) {
    if (StopRequested()) Fail("interrupted; nothing was recorded");
    report.reason = failure.what();
  }
  if (StopRequested()) Fail("interrupted; nothing was recorded");
  report.durationSeconds = MonotonicSeconds() - started;
  ReportVerify(options, report);
  return report.Ok() ? kExitOk : kExitFailure;
}

}  // namespace xbagent
