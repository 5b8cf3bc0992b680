// xbagent restore --full: rebuilds a whole server's data directory from a
// backup directory: verify, extract, prepare, move into place.

#include <cerrno>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "Commands.h"
#include "Common.h"
#include "Extract.h"
#include "Fs.h"
#include "Log.h"
#include "Manifest.h"
#include "Progress.h"
#include "RemoteTablespaces.h"
#include "Sha256.h"
#include "StopWatcher.h"
#include "StreamCodec.h"
#include "ToolOutput.h"
#include "Tools.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent restore --full --from DIR --target-datadir NEWDIR\n"
    "                       [--staging-dir DIR] [--tool-dir DIR] [--encrypt-key-file FILE]\n"
    "                       [-v | -q] [--log FILE]\n"
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
    "  --encrypt-key-file FILE  the key of an encrypted backup\n"
    "  --json                print the result (target, tables, bytes, binlog coordinates)\n"
    "                        as one JSON object instead of the coordinate lines\n"
    "\n"
    "Steps: check the stream's size and SHA-256 against the manifest, extract it, check\n"
    "it was complete, prepare it, move it into place. Prints the binary-log coordinates\n"
    "of the backup (file_number=, position=) on standard output.\n"
    "Tables created with DATA DIRECTORY get their files inside the new data directory:\n"
    "the .isl files are dropped before the prepare, which so never opens the live\n"
    "server's tablespaces.\n"
    "Exit status: 0 restored, 1 failure, 2 bad usage.\n";

dev_t DeviceOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) Fail("cannot read " + path + ": " + ErrnoText(errno));
  return info.st_dev;
}

}  // namespace

int RunRestoreFull(const ArgList& argv) {
  Args args(kUsage,
            {{"--full", false}, {"--from", true}, {"--target-datadir", true},
             {"--staging-dir", true}, {"--tool-dir", true}, {"--encrypt-key-file", true},
             {"--json", false}},
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

  const std::string key = KeyForBackup(manifest.encoding, args.Value("--encrypt-key-file"));
  if (manifest.encoding.encrypted) CheckStreamKey(streamPath, key);
  // A compressed or encrypted stream is verified and decoded whole first: a
  // wrong key or a changed chunk stops the restore before anything is
  // written. A plain one is verified while it is extracted.
  uint64_t size = 0;
  if (manifest.encoding.Plain()) {
    CheckStreamSize(manifest, streamPath);
  } else {
    VerifyStream(manifest, streamPath);
    size = CheckEncodedStream(manifest, streamPath, key);
  }

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
  if (manifest.encoding.Plain()) {
    VerifyAndExtractStream(util, child, manifest, streamPath, staging);
  } else {
    ExtractStream(util, child, streamPath, size, staging, manifest.encoding, key);
  }
  const double extracted = MonotonicSeconds();

  // Tables with DATA DIRECTORY: the prepare must not follow their .isl
  // files to the live server's tablespaces, and the new data directory must
  // not point at them either. Their tablespaces stay inside it.
  for (const RemoteTablespace& space : NeutraliseRemoteTablespaces(staging)) {
    Log().Notice("xbagent: table " + space.table + " had its tablespace in " + space.remotePath +
                 "; the restored one is inside the new data directory");
  }

  {
    StopWatcher watch(nullptr);  // the tool runs on an object of the library's own
    status = util.prepare(staging);
  }
  if (StopRequested()) Fail("interrupted; the restore was abandoned");
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

  if (args.Has("--json")) {
    Json binlog;
    if (haveBinlog) binlog = {{"file_number", fileNumber}, {"position", position}};
    Json out = {{"kind", "server"},
                {"target", target},
                {"tables", Member(manifest.document, "tables").size()},
                {"bytes", size},
                {"binlog", binlog}};
    std::fputs(JsonText(out).c_str(), stdout);
    std::fflush(stdout);
  } else if (haveBinlog) {
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
