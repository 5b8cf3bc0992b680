// One database: a fresh server initialised with mariadb-install-db, then the
// database brought back into it by xbagent's own one-database restore, run
// as a child process (stream and schema checks, schema, DISCARD/copy/IMPORT
// for InnoDB, file copies for MyISAM and Aria, partitions by exchange).

#include <climits>

#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

constexpr double kImportTimeout = 24 * 3600;

std::string SelfProgram() {
  char path[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) Fail("cannot find xbagent's own program file");
  return std::string(path, static_cast<size_t>(length));
}

}  // namespace

void ImportDatabaseCopy(const VerifyOptions& options, const ManifestSummary& manifest,
                        ScratchServer& server, const std::string& scratch) {
  server.WriteSettings(std::string());
  server.Initialise();
  server.Start(false);
  std::vector<std::string> argv = {SelfProgram(), "restore", "--database", manifest.database,
                                   "--from", options.backupDir,
                                   "--defaults-file", server.defaultsFile(),
                                   "--staging-dir", JoinPath(scratch, "staging")};
  if (!options.keyFile.empty()) {
    argv.push_back("--encrypt-key-file");
    argv.push_back(AbsolutePath(options.keyFile));
  }
  if (!options.toolDir.empty()) {
    argv.push_back("--tool-dir");
    argv.push_back(options.toolDir);
  }
  const std::string log = JoinPath(scratch, "restore.log");
  Log().Detail(Verbosity::kVerbose, "importing database '" + manifest.database +
                                        "' into the throwaway server");
  int status = WaitChild(StartChild(argv, log, true), kImportTimeout);
  if (StopRequested()) Fail("interrupted");
  if (status != 0) {
    std::string why = TailLines(log, "error:", 2);
    if (why.empty()) why = TailLines(log, "", 3);
    Fail("the database could not be restored into the throwaway server (exit status " +
         std::to_string(status) + "): " + why);
  }
}

}  // namespace xbagent
