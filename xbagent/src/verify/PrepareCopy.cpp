// Whole server: the stream checked against the manifest, extracted into the
// throwaway server's data directory, its .isl files dropped (so the prepare
// never follows them to a live server's tablespaces), prepared.

#include <cerrno>

#include <sys/stat.h>

#include <XtraBackup/XtraBackupUtil.h>

#include "../Common.h"
#include "../Extract.h"
#include "../Fs.h"
#include "../Log.h"
#include "../StopWatcher.h"
#include "../RemoteTablespaces.h"
#include "../StreamCodec.h"
#include "../ToolOutput.h"
#include "../Tools.h"
#include "VerifyPhases.h"

namespace xbagent {

void PrepareServerCopy(const VerifyOptions& options, const ManifestSummary& manifest,
                       ScratchServer& server) {
  const std::string streamPath = JoinPath(options.backupDir, manifest.streamFile);
  if (!PathExists(streamPath)) Fail("the backup has no stream file " + streamPath);
  const std::string key = KeyForBackup(manifest.encoding, options.keyFile);
  uint64_t size = VerifyStream(manifest, streamPath);
  if (!manifest.encoding.Plain()) size = CheckEncodedStream(manifest, streamPath, key);

  const std::string data = server.dataDir();
  if (::mkdir(data.c_str(), 0750) != 0) Fail("cannot create " + data + ": " + ErrnoText(errno));

  ToolDir tools(options.toolDir);
  XtraBackup::mysqlDetails details;
  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::XtraBackupUtil util(false, details, &child, tools.path());
  util.bFullServerXtrabackup = true;
  CKaError status = util.initialize();
  if (status.IsError()) Fail("the utility library did not initialise: " + status.AsString());

  ExtractStream(util, child, streamPath, size, data, manifest.encoding, key);
  for (const RemoteTablespace& space : NeutraliseRemoteTablespaces(data)) {
    Log().Detail(Verbosity::kVerbose, "table " + space.table + " had its tablespace in " +
                                          space.remotePath + "; the copy keeps it inside");
  }
  {
    StopWatcher watch(nullptr);  // the tool runs on an object of the library's own
    status = util.prepare(data);
  }
  if (StopRequested()) Fail("interrupted");
  if (status.IsError()) {
    Fail("preparing the backup failed: " + ReasonFromText(status.AsString(), "xtrabackup"));
  }
  const std::string backupCnf = JoinPath(data, "backup-my.cnf");
  server.WriteSettings(PathExists(backupCnf)
                           ? InnodbSettingsFrom(ReadSmallFile(backupCnf, 1 << 20))
                           : std::string());
  server.GiveToServerUser(data);
}

}  // namespace xbagent
