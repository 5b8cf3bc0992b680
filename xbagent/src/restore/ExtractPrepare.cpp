// Phase "extract and prepare": the stream is verified, extracted into a
// private staging directory and prepared (--export) there, away from the
// server. The prepare of a backup holding .isl files (InnoDB tables with DATA
// DIRECTORY) sees the staging copies at the remote paths (RemoteMask.h), never
// the live server's files. Then every file the restore needs must be there.

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>

#include <XtraBackup/XtraBackupUtil.h>

#include "../Common.h"
#include "../Extract.h"
#include "../Fs.h"
#include "../Log.h"
#include "../StopWatcher.h"
#include "../ToolOutput.h"
#include "../Tools.h"
#include "Plan.h"
#include "RemoteMask.h"
#include "TableFiles.h"

namespace xbagent {
namespace restore {

namespace {

void MakeStaging(Plan& plan) {
  std::string staging = plan.options.stagingDir;
  bool exists = false;
  if (staging.empty()) {
    std::string id = plan.identity;
    std::replace(id.begin(), id.end(), '#', '-');
    staging = JoinPath(ScratchBase(), std::string(kStagingPrefix) + id);
  } else {
    exists = CheckFreshDirectory(staging, "staging directory");
  }
  if (!exists && ::mkdir(staging.c_str(), 0700) != 0) {
    Fail("cannot create staging directory " + staging + ": " + ErrnoText(errno));
  }
  plan.staging = staging;
  plan.stagingCreated = !exists;
  plan.stagingGuard = std::make_shared<StagingGuard>(staging, !exists);
}

// The restored files must belong to the server: only root or the data
// directory's owner can give them to it. Said before the long extraction.
void CheckFileOwnership(const Plan& plan) {
  const uid_t user = ::geteuid();
  if (user == 0 || user == plan.ownerUid) return;
  const struct passwd* owner = ::getpwuid(plan.ownerUid);
  Fail("restore --database runs as root or as the owner of the data directory " + plan.datadir +
       " (" + (owner != nullptr ? std::string(owner->pw_name) : "uid " +
       std::to_string(plan.ownerUid)) + "), not as uid " + std::to_string(user) +
       ": the restored files must be given to the server's user; run it with sudo");
}

}  // namespace

void ExtractPrepare(Plan& plan) {
  const double start = MonotonicSeconds();
  CheckFileOwnership(plan);
  const std::string streamPath = JoinPath(plan.options.backupDir, plan.manifest.streamFile);
  const StreamEncoding& encoding = plan.manifest.encoding;
  uint64_t size = encoding.Plain() ? plan.manifest.streamSize : plan.manifest.rawSize;
  // Before any staging directory is made: a plain stream's size (its SHA-256
  // is computed while it is extracted and prepared); an encoded stream is
  // decoded whole, so a changed chunk stops the restore before anything is
  // extracted.
  if (!plan.options.fromStdin) {
    if (encoding.Plain()) {
      size = CheckStreamSize(plan.manifest, streamPath);
    } else {
      VerifyStream(plan.manifest, streamPath);
      size = CheckEncodedStream(plan.manifest, streamPath, plan.key);
    }
  }
  MakeStaging(plan);
  ToolDir tools(plan.options.toolDir);
  XtraBackup::mysqlDetails details;
  details.sDefaultsFile = plan.options.defaultsFile;
  details.sUser = plan.options.user;
  details.sDataDir = plan.datadir;
  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::XtraBackupUtil util(false, details, &child, tools.path());
  util.bFullServerXtrabackup = false;
  CKaError status = util.initialize();
  if (status.IsError()) Fail("the utility library did not initialise: " + status.AsString());
  Log().Notice("xbagent: restoring database '" + plan.options.database + "'" +
               (plan.options.renamed ? " as '" + plan.options.target + "'" : std::string()) +
               " (" + std::to_string(plan.tables.size()) + " tables) from " +
               plan.source);
  // A plain stream file's SHA-256 is still being computed during the prepare;
  // it must match before anything reads the prepared files.
  std::unique_ptr<StreamCheck> check;
  if (plan.options.fromStdin) {
    // Checked as it is read: a mismatch fails here, before the server changes.
    ExtractFed(util, child, size, plan.staging, [&](const ChunkSink& sink) {
      ReadCheckedInput(0, plan.manifest, plan.key, sink);
    });
  } else if (encoding.Plain()) {
    check = ExtractWhileChecking(util, child, plan.manifest, streamPath, plan.staging);
  } else {
    ExtractStream(util, child, streamPath, size, plan.staging, encoding, plan.key);
  }
  plan.seconds["extract"] = MonotonicSeconds() - start;
  CheckStop("nothing was changed");
  RemoteMask mask(plan.staging);
  {
    StopWatcher watch(nullptr);  // the tool runs on an object of the library's own
    status = util.prepare(plan.staging);
  }
  mask.Release();
  CheckStop("nothing was changed");
  if (status.IsError()) {
    if (check) check->BlameDamage();
    Fail("preparing the backup failed: " + ReasonFromText(status.AsString(), "xtrabackup"));
  }
  if (check) check->Check();
  plan.seconds["prepare"] = MonotonicSeconds() - start - plan.seconds["extract"];
  CheckStagingFiles(plan);
  ResetAriaLogNumbers(plan);
  plan.haveBinlog = PathExists(JoinPath(plan.staging, kBinlogInfoFile));
  if (plan.haveBinlog) {
    status = util.populateLogData(&plan.fileNumber, &plan.position, plan.staging);
    if (status.IsError()) {
      Fail("cannot read the binary-log coordinates of the backup: " + status.AsString());
    }
  }
}

}  // namespace restore
}  // namespace xbagent
