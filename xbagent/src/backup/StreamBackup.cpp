// xbagent backup, stream phase: one run of the backup tool, its stream
// relayed (hashed and scanned on the way) into a file or standard output.

#include <cerrno>
#include <string>

#include <unistd.h>

#include "../Common.h"
#include "../Log.h"
#include "../StopWatcher.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

constexpr size_t kSmallFileBytes = 64 * 1024;

}  // namespace

void StreamBackup(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                  const std::string& databaseOnDisk, const BackupOptions& options,
                  const std::string& lsnDir, int outFd, StreamOutcome* outcome) {
  const bool hash = !options.toStdout || !options.manifestFile.empty();
  const bool encode = !options.encoding.Plain();
  // A plain stream into a file: the tool writes the file itself and the
  // relay hashes and scans behind it, so the stream costs the tool no pipe.
  const bool toolWritesFile = !options.toStdout && !encode;
  if (toolWritesFile && child.SetStdoutDescriptor(outFd) != 0) {
    Fail("cannot give the backup tool its output file: " + ErrnoText(child.GetLastErrNo()));
  }
  CKaError status = util.startStream(databaseOnDisk, options.parallel, lsnDir);
  // Only the stream goes to the file: later commands read their output.
  if (toolWritesFile) child.SetStdoutDescriptor(-1);
  if (status.IsError()) Fail("the backup tool could not be started: " + status.AsString());
  outcome->scanner.Capture(kBinlogInfoFile, kSmallFileBytes);
  outcome->scanner.Capture(kCheckpointsFile, kSmallFileBytes);
  EncodingPipe encoder;
  const int relayFd = encode ? encoder.Start(outFd, options.encoding, options.key) : outFd;
  {
    StopWatcher watch(&child);
    outcome->relay =
        toolWritesFile
            ? FollowStreamFile(child, outFd, outcome->scanner, outcome->toolErrors)
            : RelayStream(child, relayFd, hash || encode, outcome->scanner, outcome->toolErrors);
  }
  outcome->droppedErrBytes = child.GetDroppedErrBytes();
  if (encode) {
    outcome->encoded = encoder.Finish();
    if (!outcome->encoded.error.empty() && !outcome->relay.stopped) {
      Fail("encoding the stream failed: " + outcome->encoded.error);
    }
  }
  if (outFd != 1 && outcome->relay.writeErrno == 0 && ::fdatasync(outFd) != 0) {
    outcome->closeErrno = errno;
  }
}

}  // namespace xbagent
