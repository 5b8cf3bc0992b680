// xbagent backup, stream phase: one run of the backup tool, its stream
// relayed (hashed and scanned on the way) into a file or standard output.

#include <cerrno>
#include <memory>
#include <string>

#include <fcntl.h>
#include <unistd.h>

#include "../Common.h"
#include "../Log.h"
#include "../StopWatcher.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

constexpr size_t kSmallFileBytes = 64 * 1024;
constexpr int kToolPipeBytes = 1 << 20;

// A pipe from the tool to us; not open when it could not be made (the
// stream then goes through the child's own pipe).
struct ToolPipe {
  int readFd = -1;
  int writeFd = -1;
  ToolPipe() = default;
  ToolPipe(const ToolPipe&) = delete;
  ToolPipe& operator=(const ToolPipe&) = delete;
  ~ToolPipe() {
    CloseWriteEnd();
    if (readFd >= 0) ::close(readFd);
  }
  void Open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    readFd = fds[0];
    writeFd = fds[1];
    ::fcntl(readFd, F_SETFL, O_NONBLOCK);
    ::fcntl(readFd, F_SETPIPE_SZ, kToolPipeBytes);  // fewer wakeups; the default size otherwise
  }
  void CloseWriteEnd() {
    if (writeFd >= 0) ::close(writeFd);
    writeFd = -1;
  }
};

}  // namespace

void StreamBackup(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                  const std::string& databaseOnDisk, const BackupOptions& options,
                  const std::string& lsnDir, int outFd, StreamOutcome* outcome) {
  const bool hash = !options.toStdout || !options.manifestFile.empty();
  const bool encode = !options.encoding.Plain();
  // A plain stream into a file: the tool writes the file itself and the
  // relay hashes and scans behind it, so the stream costs the tool no pipe.
  const bool toolWritesFile = !options.toStdout && !encode;
  // A plain stream into a pipe: the tool writes into a pipe of ours, and
  // its bytes are teed on into our output without a copy.
  ToolPipe teePipe;
  if (options.toStdout && !encode && IsPipe(outFd)) {
    teePipe.Open();
    // Each tee moves at most what our output pipe has room for: a larger
    // one takes the stream in fewer calls (best effort; the reader is not
    // affected otherwise).
    ::fcntl(outFd, F_SETPIPE_SZ, kToolPipeBytes);
  }
  const int toolStdout = toolWritesFile ? outFd : teePipe.writeFd;
  if (toolStdout >= 0 && child.SetStdoutDescriptor(toolStdout) != 0) {
    Fail("cannot give the backup tool its output: " + ErrnoText(child.GetLastErrNo()));
  }
  // Set up before the tool starts: an encoder that cannot be made fails
  // the backup with nothing started.
  std::unique_ptr<EncodingSink> encoder;
  if (encode) {
    try {
      encoder.reset(new EncodingSink(outFd, options.encoding, options.key));
    } catch (const Failure& failure) {
      Fail(std::string("encoding the stream failed: ") + failure.what());
    }
  }
  CKaError status = util.startStream(databaseOnDisk, options.parallel, lsnDir);
  // Only the stream goes there: later commands read their output.
  if (toolStdout >= 0) child.SetStdoutDescriptor(-1);
  teePipe.CloseWriteEnd();  // the tool holds its own copy
  if (status.IsError()) Fail("the backup tool could not be started: " + status.AsString());
  outcome->scanner.Capture(kBinlogInfoFile, kSmallFileBytes);
  outcome->scanner.Capture(kCheckpointsFile, kSmallFileBytes);
  const ChunkSink toEncoder = [&encoder](const char* data, size_t length) {
    return encoder->Write(data, length);
  };
  {
    StopWatcher watch(&child);
    outcome->relay =
        toolWritesFile ? FollowStreamFile(child, outFd, outcome->scanner, outcome->toolErrors)
        : teePipe.readFd >= 0
            ? TeeStream(child, teePipe.readFd, outFd, hash, outcome->scanner, outcome->toolErrors)
        : encode ? RelayStreamTo(child, toEncoder, outcome->scanner, outcome->toolErrors)
                 : RelayStream(child, outFd, hash, outcome->scanner, outcome->toolErrors);
  }
  outcome->droppedErrBytes = child.GetDroppedErrBytes();
  if (encode) {
    outcome->encoded = encoder->Finish();
    if (!outcome->encoded.error.empty() && !outcome->relay.stopped) {
      Fail("encoding the stream failed: " + outcome->encoded.error);
    }
  }
  if (outFd != 1 && outcome->relay.writeErrno == 0 && ::fdatasync(outFd) != 0) {
    outcome->closeErrno = errno;
  }
}

}  // namespace xbagent
