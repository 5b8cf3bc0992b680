// xbagent restore --full: rebuilds a whole server's data directory from a
// backup directory: verify, extract, prepare, move into place.

#include <cerrno>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "Commands.h"
#include "Common.h"
#include "Fs.h"
#include "Log.h"
#include "Manifest.h"
#include "Progress.h"
#include "Sha256.h"
#include "ToolOutput.h"
#include "Tools.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent restore --full --from DIR --target-datadir NEWDIR\n"
    "                       [--staging-dir DIR] [--tool-dir DIR] [-v | -q] [--log FILE]\n"
    "\n"
    "Restores a whole-server backup (made by 'xbagent backup --output-dir DIR') into a\n"
    "new data directory that a server of the same version can start on. Runs as root:\n"
    "the restored files belong to user mysql.\n"
    "\n"
    "  --from DIR            the backup directory\n"
    "  --target-datadir DIR  the new data directory: must not exist, or be empty\n"
    "  --staging-dir DIR     where to extract and prepare (must not exist, or be empty;\n"
    "                        same file system as the target); default: next to the target\n"
    "  --tool-dir DIR        directory with xtrabackup and xbstream links (default: PATH)\n"
    "\n"
    "Steps: check the stream's size and SHA-256 against the manifest, extract it, check\n"
    "it was complete, prepare it, move it into place. Prints the binary-log coordinates\n"
    "of the backup (file_number=, position=) on standard output.\n"
    "Exit status: 0 restored, 1 failure, 2 bad usage.\n";

constexpr size_t kChunk = 1 << 20;

// A staging directory that is emptied (or removed, when we created it) if the
// restore does not finish.
class StagingGuard {
 public:
  StagingGuard(std::string path, bool created) : path_(std::move(path)), created_(created) {}
  ~StagingGuard() {
    if (released_) return;
    if (created_) {
      RemoveTree(path_);
      return;
    }
    // It existed (empty) before: leave it empty again.
    RemoveContents(path_);
  }
  StagingGuard(const StagingGuard&) = delete;
  StagingGuard& operator=(const StagingGuard&) = delete;
  void Release() { released_ = true; }

 private:
  std::string path_;
  bool created_;
  bool released_ = false;
};

dev_t DeviceOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) Fail("cannot read " + path + ": " + ErrnoText(errno));
  return info.st_dev;
}

// Directory that must not exist or must be empty; returns whether it exists.
bool CheckFreshDirectory(const std::string& path, const std::string& role) {
  if (!PathExists(path)) {
    if (!IsDirectory(DirName(path))) {
      Fail(role + " " + path + ": parent directory " + DirName(path) + " does not exist");
    }
    return false;
  }
  if (!IsDirectory(path)) Fail(role + " " + path + " exists and is not a directory");
  if (!IsEmptyDirectory(path)) Fail(role + " " + path + " is not empty");
  return true;
}

void ProgressCallback(uint64_t bytes, void* context) {
  static_cast<Progress*>(context)->Update(bytes);
}

// Feeds the stream file to xbstream running on child; returns the bytes
// written before the extractor stopped reading (all of them when it read to
// the end).
uint64_t FeedStream(LibMySqlProcess::MySqlChildProcess& child, const std::string& streamPath,
                    uint64_t size, bool* writeFailed) {
  *writeFailed = false;
  int fd = ::open(streamPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open " + streamPath + ": " + ErrnoText(errno));
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buffer(new char[kChunk]);
  Progress progress("extract", size);
  uint64_t fed = 0;
  for (;;) {
    if (StopRequested()) break;
    ssize_t got = ::read(fd, buffer.get(), kChunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      Fail("cannot read " + streamPath + ": " + ErrnoText(err));
    }
    if (got == 0) break;
    if (child.WriteBuf(buffer.get(), static_cast<long>(got)) != 0) {
      *writeFailed = true;
      break;
    }
    fed += static_cast<uint64_t>(got);
    progress.Update(fed);
  }
  ::close(fd);
  return fed;
}

std::string ToolReason(LibMySqlProcess::MySqlChildProcess& child, const std::string& toolName) {
  ToolOutput output(toolName);
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    long length = static_cast<long>(buffer.size());
    if (child.ReadErrBuf(buffer.data(), &length) != 0 || length <= 0) break;
    output.Feed(buffer.data(), static_cast<size_t>(length));
    if (static_cast<size_t>(length) < buffer.size()) break;
  }
  output.Finish();
  return output.Reason();
}

}  // namespace

int RunRestoreFull(const ArgList& argv) {
  Args args(kUsage,
            {{"--full", false}, {"--from", true}, {"--target-datadir", true},
             {"--staging-dir", true}, {"--tool-dir", true}},
            argv);
  if (!args.Positional().empty()) UsageFail("unexpected argument '" + args.Positional()[0] + "'");
  if (args.Value("--from").empty()) UsageFail("--from DIR is required");
  if (args.Value("--target-datadir").empty()) UsageFail("--target-datadir NEWDIR is required");
  if (args.Has("--staging-dir") && args.Value("--staging-dir").empty()) {
    UsageFail("--staging-dir needs a directory");
  }
  const double started = MonotonicSeconds();

  const std::string backupDir = AbsolutePath(args.Value("--from"));
  const std::string target = AbsolutePath(args.Value("--target-datadir"));
  if (!IsDirectory(backupDir)) Fail("backup directory " + backupDir + " does not exist");
  ManifestSummary manifest = LoadManifest(backupDir);
  if (manifest.kind != "server") {
    Fail(backupDir + " holds one database ('" + manifest.database +
         "'), not a whole server; use restore --database");
  }
  const std::string streamPath = JoinPath(backupDir, manifest.streamFile);
  if (!PathExists(streamPath)) Fail("the backup has no stream file " + streamPath);

  // Target and staging: new or empty, on one file system so the final move
  // is a rename.
  bool targetExists = CheckFreshDirectory(target, "target data directory");
  std::string staging = args.Has("--staging-dir")
                            ? AbsolutePath(args.Value("--staging-dir"))
                            : JoinPath(DirName(target), "." + BaseName(target) + ".staging-" +
                                                            std::to_string(::getpid()));
  if (staging == target) UsageFail("--staging-dir must differ from --target-datadir");
  bool stagingExists = CheckFreshDirectory(staging, "staging directory");
  if (DeviceOf(stagingExists ? staging : DirName(staging)) !=
      DeviceOf(targetExists ? target : DirName(target))) {
    Fail("staging directory " + staging + " and target " + target +
         " must be on the same file system");
  }
  if (::geteuid() != 0) Fail("restore --full must run as root (the files go to user mysql)");
  if (::getpwnam("mysql") == nullptr) Fail("there is no user 'mysql' to own the data directory");

  // The stream is whole and unchanged: size first (cheap), then SHA-256.
  uint64_t size = FileSize(streamPath);
  if (size < manifest.streamSize) {
    Fail("the stream " + streamPath + " is truncated: " + std::to_string(size) + " of " +
         std::to_string(manifest.streamSize) + " bytes");
  }
  if (size > manifest.streamSize) {
    Fail("the stream " + streamPath + " is longer than recorded: " + std::to_string(size) +
         " bytes, the manifest says " + std::to_string(manifest.streamSize));
  }
  std::string digest;
  {
    Progress progress("verify", size);
    digest = Sha256OfFile(streamPath, ProgressCallback, &progress);
  }
  if (StopRequested()) Fail("interrupted");
  if (digest != manifest.streamSha256) {
    Fail("the SHA-256 of " + streamPath + " does not match the manifest (the file is "
         "damaged or was changed): " + digest + " != " + manifest.streamSha256);
  }
  Log().Detail(Verbosity::kVerbose, "stream verified: " + std::to_string(size) + " bytes, " +
                                        digest);

  if (!stagingExists && ::mkdir(staging.c_str(), 0700) != 0) {
    Fail("cannot create staging directory " + staging + ": " + ErrnoText(errno));
  }
  StagingGuard stagingGuard(staging, !stagingExists);

  ToolDir tools(args.Value("--tool-dir"));
  XtraBackup::mysqlDetails details;
  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::XtraBackupUtil util(false, details, &child, tools.path());
  util.bFullServerXtrabackup = true;
  CKaError status = util.initialize();
  if (status.IsError()) Fail("the utility library did not initialise: " + status.AsString());

  Log().Notice("xbagent: restoring the whole server (" + manifest.serverVersion + ") from " +
               backupDir);
  status = util.extractXtraBackup(staging);
  if (status.IsError()) Fail("the extractor could not be started: " + status.AsString());
  bool writeFailed = false;
  uint64_t fed = FeedStream(child, streamPath, size, &writeFailed);
  child.CloseInput();
  int exitStatus = child.Wait(0);
  std::string reason = ToolReason(child, "xbstream");
  if (StopRequested()) Fail("interrupted; the restore was abandoned");
  if (exitStatus != 0) {
    Fail("extracting the stream failed (xbstream exit status " + std::to_string(exitStatus) +
         ")" + (reason.empty() ? std::string() : ": " + reason));
  }
  if (writeFailed || fed != size) {
    Fail("the extractor stopped reading after " + std::to_string(fed) + " of " +
         std::to_string(size) + " bytes" + (reason.empty() ? std::string() : ": " + reason));
  }
  std::string checkpoints = JoinPath(staging, kCheckpointsFile);
  if (!PathExists(checkpoints)) {
    Fail(std::string("the extracted backup has no ") + kCheckpointsFile +
         ": the stream was incomplete");
  }
  std::string checkpointText = ReadSmallFile(checkpoints, 64 * 1024);
  if (checkpointText.find("full-backuped") == std::string::npos &&
      checkpointText.find("full-prepared") == std::string::npos) {
    Fail("the backup is not a full backup (" + Trim(checkpointText.substr(0, checkpointText.find('\n'))) + ")");
  }
  const double extracted = MonotonicSeconds();

  status = util.prepare(staging);
  if (status.IsError()) {
    Fail("preparing the backup failed: " + ReasonFromText(status.AsString(), "xtrabackup"));
  }
  const double prepared = MonotonicSeconds();

  long fileNumber = 0;
  long position = 0;
  bool haveBinlog = PathExists(JoinPath(staging, kBinlogInfoFile));
  if (haveBinlog) {
    status = util.populateLogData(&fileNumber, &position, staging);
    if (status.IsError()) {
      Fail("cannot read the binary-log coordinates of the backup: " + status.AsString());
    }
  }

  if (StopRequested()) Fail("interrupted; the restore was abandoned");
  if (::rename(staging.c_str(), target.c_str()) != 0) {
    Fail("cannot move the prepared data directory into place as " + target + ": " +
         ErrnoText(errno));
  }
  stagingGuard.Release();
  SyncDirectory(DirName(target));

  if (haveBinlog) {
    std::printf("file_number=%ld\nposition=%ld\n", fileNumber, position);
    std::fflush(stdout);
  }
  Log().Notice("xbagent: restored the whole server into " + target + " (" + HumanBytes(size) +
               " stream; extract " + HumanSeconds(extracted - started) + ", prepare " +
               HumanSeconds(prepared - extracted) + ")");
  if (haveBinlog) {
    Log().Notice("xbagent: binary-log coordinates: file number " + std::to_string(fileNumber) +
                 ", position " + std::to_string(position));
  } else {
    Log().Notice("xbagent: the backup has no binary-log coordinates (binary logging was off)");
  }
  Log().Notice("xbagent: start a " + manifest.serverVersion +
               " server with --datadir=" + target + " --user=mysql");
  return kExitOk;
}

}  // namespace xbagent
