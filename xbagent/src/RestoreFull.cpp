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
#include "pitr/PointInTime.h"
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
    "usage: xbagent restore --full (--from DIR | --from - --manifest FILE)\n"
    "                       --target-datadir NEWDIR\n"
    "                       [--staging-dir DIR] [--tool-dir DIR] [--encrypt-key-file FILE]\n"
    "                       [--binlogs DIR (--until 'YYYY-MM-DD HH:MM:SS' | --until-gtid GTID)]\n"
    "                       [-v | -q] [--log FILE]\n"
    "\n"
    "Restores a whole-server backup (made by 'xbagent backup --output-dir DIR') into a\n"
    "new data directory that a server of the same version can start on. Runs as root:\n"
    "the restored files belong to user mysql.\n"
    "\n"
    "  --from DIR            the backup directory\n"
    "  --from -              read the stream on standard input (as 'backup --output -'\n"
    "                        wrote it); needs --manifest\n"
    "  --manifest FILE       with --from -: the manifest written with the stream\n"
    "  --target-datadir DIR  the new data directory: must not exist, or be empty\n"
    "  --staging-dir DIR     where to extract and prepare (must not exist, or be empty;\n"
    "                        same file system as the target); default: next to the target\n"
    "  --tool-dir DIR        directory with xtrabackup and xbstream links (default: PATH)\n"
    "  --encrypt-key-file FILE  the key of an encrypted backup\n"
    "  --binlogs DIR         an archive of binlog-archive: after the prepare, replay its\n"
    "                        events from the backup's coordinates on a private server\n"
    "  --until TIME          replay every transaction committed before TIME (local time)\n"
    "  --until-gtid GTID     replay up to and including GTID\n"
    "  --json                print the result (target, tables, bytes, binlog coordinates)\n"
    "                        as one JSON object instead of the coordinate lines\n"
    "\n"
    "Steps: check the stream's size and SHA-256 against the manifest, extract it, check\n"
    "it was complete, prepare it, move it into place. A stream on standard input is\n"
    "hashed while it is extracted; when its size or SHA-256 differ from the manifest\n"
    "the extracted files are removed and the target is never created. Prints the\n"
    "binary-log coordinates of the backup (file_number=, position=) on standard output.\n"
    "Tables created with DATA DIRECTORY get their files inside the new data directory:\n"
    "the .isl files are dropped before the prepare, which so never opens the live\n"
    "server's tablespaces.\n"
    "With --binlogs, a gap in the archive between the backup's coordinates and the\n"
    "target refuses the restore before anything is extracted; the last replayed GTID\n"
    "and time are printed (last_gtid=, last_time=).\n"
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
             {"--json", false}, {"--manifest", true}, {"--binlogs", true}, {"--until", true},
             {"--until-gtid", true}},
            argv);
  if (!args.Positional().empty()) UsageFail("unexpected argument '" + args.Positional()[0] + "'");
  if (args.Value("--from").empty()) UsageFail("--from DIR is required");
  if (args.Value("--target-datadir").empty()) UsageFail("--target-datadir NEWDIR is required");
  if (args.Has("--staging-dir") && args.Value("--staging-dir").empty()) {
    UsageFail("--staging-dir needs a directory");
  }
  const PointInTimeTarget pointInTime =
      PointInTimeFromOptions(args.Value("--binlogs"), args.Has("--until"), args.Value("--until"),
                             args.Has("--until-gtid"), args.Value("--until-gtid"));
  const double started = MonotonicSeconds();

  const bool fromStdin = args.Value("--from") == "-";
  if (fromStdin && !args.Has("--manifest")) UsageFail("--from - needs --manifest FILE");
  if (!fromStdin && args.Has("--manifest")) {
    UsageFail("--manifest goes with --from - (a stream on standard input)");
  }
  if (fromStdin && args.Value("--manifest").empty()) UsageFail("--manifest needs a file");
  if (fromStdin && ::isatty(0)) UsageFail("--from -: standard input is a terminal, not a stream");
  const std::string backupDir = fromStdin ? std::string() : AbsolutePath(args.Value("--from"));
  const std::string target = AbsolutePath(args.Value("--target-datadir"));
  if (!fromStdin && !IsDirectory(backupDir)) {
    Fail("backup directory " + backupDir + " does not exist");
  }
  const std::string source = fromStdin ? std::string("standard input") : backupDir;
  ManifestSummary manifest = fromStdin ? LoadManifestFile(AbsolutePath(args.Value("--manifest")))
                                       : LoadManifest(backupDir);
  if (manifest.kind != "server") {
    Fail(source + " holds one database ('" + manifest.database +
         "'), not a whole server; use restore --database");
  }
  const std::string streamPath = fromStdin ? std::string() : JoinPath(backupDir, manifest.streamFile);
  if (!fromStdin && !PathExists(streamPath)) Fail("the backup has no stream file " + streamPath);

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

  // A gap in the archive refuses the restore before anything is written.
  ReplayPlan replay;
  if (pointInTime.Wanted()) replay = PrepareReplay(pointInTime, manifest.document);

  const std::string key = KeyForBackup(manifest.encoding, args.Value("--encrypt-key-file"));
  // A compressed or encrypted stream is verified and decoded whole first: a
  // wrong key or a changed chunk stops the restore before anything is
  // written. A plain one is verified while it is extracted, and a stream on
  // standard input as it is read.
  uint64_t size = manifest.encoding.Plain() ? manifest.streamSize : manifest.rawSize;
  if (!fromStdin) {
    if (manifest.encoding.encrypted) CheckStreamKey(streamPath, key);
    if (manifest.encoding.Plain()) {
      size = CheckStreamSize(manifest, streamPath);
    } else {
      VerifyStream(manifest, streamPath);
      size = CheckEncodedStream(manifest, streamPath, key);
    }
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
               source);
  if (fromStdin) {
    // Checked as it is read: a mismatch fails here, and the staging goes.
    ExtractFed(util, child, size, staging, [&](const ChunkSink& sink) {
      ReadCheckedInput(0, manifest, key, sink);
    });
  } else if (manifest.encoding.Plain()) {
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

  ReplayResult replayed;
  if (pointInTime.Wanted()) replayed = ReplayIntoCopy(replay, staging);

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
    if (pointInTime.Wanted()) out["replay"] = ReplayResultJson(replayed);
    std::fputs(JsonText(out).c_str(), stdout);
    std::fflush(stdout);
  } else if (haveBinlog) {
    std::printf("file_number=%ld\nposition=%ld\n", fileNumber, position);
    std::fflush(stdout);
  }
  if (pointInTime.Wanted() && !args.Has("--json")) PrintReplayResult(replayed);
  if (pointInTime.Wanted()) {
    Log().Notice("xbagent: replayed " + std::to_string(replayed.transactions) +
                 " transaction(s); the last: GTID " +
                 (replayed.lastGtid.empty() ? std::string("(none)") : replayed.lastGtid) + " at " +
                 (replayed.lastTime.empty() ? std::string("-") : replayed.lastTime));
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
