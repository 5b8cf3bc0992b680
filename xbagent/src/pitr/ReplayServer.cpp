// Whole server: the prepared copy is started privately (verify's throwaway
// server: no network, its socket in a scratch directory), the archived
// events are replayed into it, and it is stopped.

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../Tools.h"
#include "../verify/VerifyPhases.h"
#include "PointInTime.h"

namespace xbagent {

namespace {

// Removes the scratch directory (socket, settings, logs) in any case.
class ScratchDir {
 public:
  ScratchDir() : path_(MakeScratchDir("xbagent-pitr")) {}
  ~ScratchDir() { RemoveTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

}  // namespace

ReplayResult ReplayIntoCopy(const ReplayPlan& plan, const std::string& dataDir) {
  ScratchDir scratch;
  ScratchServer server(scratch.path(), dataDir);
  const std::string backupCnf = JoinPath(dataDir, "backup-my.cnf");
  server.WriteSettings(PathExists(backupCnf) ? InnodbSettingsFrom(ReadSmallFile(backupCnf, 1 << 20))
                                             : std::string());
  server.GiveToServerUser(scratch.path());
  server.GiveToServerUser(dataDir);
  // The copy's accounts are not ours: the private server skips the grants.
  server.Start(true);
  Log().Detail(Verbosity::kVerbose, "xbagent: the restored copy runs privately on " + server.socket());
  const std::vector<std::string> client = {ClientProgram(), "--defaults-file=" + server.defaultsFile(),
                                           "--binary-mode"};
  ReplayResult result = ReplayEvents(plan, {}, client, JoinPath(scratch.path(), "replay.log"));
  if (!server.Stop()) {
    Fail("the private server on the restored copy did not stop cleanly after the replay: " +
         server.ErrorLogTail());
  }
  return result;
}

}  // namespace xbagent
