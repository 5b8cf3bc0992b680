// xbagent restore --full: rebuilds a whole server's data directory from a
// backup directory: verify, extract, prepare, move into place.

#include <cerrno>
#include <cstdio>
#include <memory>
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

dev_t DeviceOf(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) Fail("cannot read " + path + ": " + ErrnoText(errno));
  return info.st_dev;
}

// The command line of the whole-server restore.
struct FullOptions {
  std::string from;
  std::string target;
  std::string staging;
  std::string toolDir;
  std::string keyFile;
  std::string manifestFile;
  bool json = false;
  PointInTimeTarget pointInTime;
};

FullOptions ParseFullOptions(const ArgList& argv) {
  CommandLine cli(
      "restore",
      "Restores a whole-server backup (made by 'xbagent backup --output-dir DIR') into a new data "
      "directory that a server of the same version can start on. Runs as root: the restored "
      "files belong to user mysql.",
      "Steps: check the stream's size and SHA-256 against the manifest, extract it, check it was "
      "complete, prepare it, move it into place. A stream on standard input is hashed while it is "
      "extracted; when its size or SHA-256 differ from the manifest the extracted files are "
      "removed and the target is never created. Prints the binary-log coordinates of the backup "
      "(file_number=, position=) on standard output. Tables created with DATA DIRECTORY get their "
      "files inside the new data directory: the .isl files are dropped before the prepare, which "
      "so never opens the live server's tablespaces.\n\n"
      "With --binlogs, a gap in the archive between the backup's coordinates and the target "
      "refuses the restore before anything is extracted; the last replayed GTID and time are "
      "printed (last_gtid=, last_time=).\n\n"
      "Exit status: 0 restored, 1 failure, 2 bad usage.");
  FullOptions options;
  bool full = false;
  cli->add_flag("--full", full, "restore a whole server")->required();
  cli->add_option("--from", options.from,
                  "the backup directory, or - to read the stream on standard input (as 'backup "
                  "--output -' wrote it; needs --manifest)")
      ->type_name("DIR")
      ->required()
      ->check(NonEmpty("a directory"));
  cli->add_option("--manifest", options.manifestFile,
                  "with --from -: the manifest written with the stream")
      ->type_name("FILE")
      ->check(NonEmpty("a file"));
  cli->add_option("--target-datadir", options.target,
                  "the new data directory: must not exist, or be empty")
      ->type_name("NEWDIR")
      ->required()
      ->check(NonEmpty("a directory"));
  cli->add_option("--staging-dir", options.staging,
                  "where to extract and prepare (must not exist, or be empty; same file system as "
                  "the target); default: next to the target")
      ->type_name("DIR")
      ->check(NonEmpty("a directory"));
  cli->add_option("--tool-dir", options.toolDir,
                  "directory with xtrabackup and xbstream links (default: PATH)")
      ->type_name("DIR");
  cli->add_option("--encrypt-key-file", options.keyFile, "the key of an encrypted backup")
      ->type_name("FILE")
      ->check(NonEmpty("a file"));
  cli->add_flag("--json", options.json,
                "print the result (target, tables, bytes, binlog coordinates) as one JSON object "
                "instead of the coordinate lines");
  PointInTimeOptions pointInTime(cli,
                                 "after the prepare, replay its events from the backup's "
                                 "coordinates on a private server");
  cli.Parse(argv);
  options.pointInTime = pointInTime.Target();
  const bool fromStdin = options.from == "-";
  if (fromStdin && !cli.Has("--manifest")) UsageFail("--from - needs --manifest FILE");
  if (!fromStdin && cli.Has("--manifest")) {
    UsageFail("--manifest goes with --from - (a stream on standard input)");
  }
  if (fromStdin && ::isatty(0)) UsageFail("--from -: standard input is a terminal, not a stream");
  return options;
}

}  // namespace

int RunRestoreFull(const ArgList& argv) {
  const FullOptions options = ParseFullOptions(argv);
  const PointInTimeTarget& pointInTime = options.pointInTime;
  const double started = MonotonicSeconds();
  const bool fromStdin = options.from == "-";
  const std::string backupDir = fromStdin ? std::string() : AbsolutePath(options.from);
  const std::string target = AbsolutePath(options.target);
  if (!fromStdin && !IsDirectory(backupDir)) {
    Fail("backup directory " + backupDir + " does not exist");
  }
  const std::string source = fromStdin ? std::string("standard input") : backupDir;
  ManifestSummary manifest = fromStdin ? LoadManifestFile(AbsolutePath(options.manifestFile))
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
  std::string staging = !options.staging.empty()
                            ? AbsolutePath(options.staging)
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

  const std::string key = KeyForBackup(manifest.encoding, options.keyFile);
  // A compressed or encrypted stream is verified and decoded whole first: a
  // wrong key or a changed chunk stops the restore before anything is
  // written. A plain one is verified while it is extracted and prepared, and
  // a stream on standard input as it is read.
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

  ToolDir tools(options.toolDir);
  XtraBackup::mysqlDetails details;
  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::XtraBackupUtil util(false, details, &child, tools.path());
  util.bFullServerXtrabackup = true;
  CKaError status = util.initialize();
  if (status.IsError()) Fail("the utility library did not initialise: " + status.AsString());

  Log().Notice("xbagent: restoring the whole server (" + manifest.serverVersion + ") from " +
               source);
  // A plain stream file's SHA-256 is still being computed during the prepare;
  // it must match before anything reads the prepared files.
  std::unique_ptr<StreamCheck> check;
  if (fromStdin) {
    // Checked as it is read: a mismatch fails here, and the staging goes.
    ExtractFed(util, child, size, staging, [&](const ChunkSink& sink) {
      ReadCheckedInput(0, manifest, key, sink);
    });
  } else if (manifest.encoding.Plain()) {
    check = ExtractWhileChecking(util, child, manifest, streamPath, staging);
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
    if (check) check->BlameDamage();
    Fail("preparing the backup failed: " + ReasonFromText(status.AsString(), "xtrabackup"));
  }
  if (check) check->Check();
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
  if (pointInTime.Wanted()) {
    CheckDataMatchesCoordinates(staging, manifest.document);
    replayed = ReplayIntoCopy(replay, staging);
  }

  if (StopRequested()) Fail("interrupted; the restore was abandoned");
  if (::rename(staging.c_str(), target.c_str()) != 0) {
    Fail("cannot move the prepared data directory into place as " + target + ": " +
         ErrnoText(errno));
  }
  stagingGuard.Release();
  SyncDirectory(DirName(target));

  if (options.json) {
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
  if (pointInTime.Wanted() && !options.json) PrintReplayResult(replayed);
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
