// Phase "extract and prepare": the stream is verified, extracted into a
// private staging directory and prepared (--export) there, away from the
// server. A backup holding .isl files (InnoDB tables with DATA DIRECTORY) is
// refused before the prepare: its log names the remote files by their
// absolute paths, and the tool's prepare applies it to those paths, the live
// server's files, whether or not the .isl is there. Then every file the
// restore needs must be there.

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

// Tables with DATA DIRECTORY: the prepare would write the live remote file.
void RefuseRemoteTablespaces(const std::string& staging) {
  std::vector<std::string> tables;
  for (const std::string& dir : ListDirectory(staging)) {
    std::string path = JoinPath(staging, dir);
    if (!IsDirectory(path)) continue;
    for (const std::string& name : ListDirectory(path)) {
      if (name.size() > 4 && name.compare(name.size() - 4, 4, ".isl") == 0) {
        tables.push_back(dir + "/" + name.substr(0, name.size() - 4));
      }
    }
  }
  if (tables.empty()) return;
  std::string list;
  for (const std::string& table : tables) list += (list.empty() ? "" : ", ") + table;
  Fail("the backup holds InnoDB tables with DATA DIRECTORY (" + list + "); preparing it would "
       "apply its log to the live server's remote files, so this restore refuses it before "
       "the prepare; nothing was changed");
}

}  // namespace

void ExtractPrepare(Plan& plan) {
  const double start = MonotonicSeconds();
  const std::string streamPath = JoinPath(plan.options.backupDir, plan.manifest.streamFile);
  uint64_t size = VerifyStream(plan.manifest, streamPath);
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
               plan.options.backupDir);
  ExtractStream(util, child, streamPath, size, plan.staging);
  plan.seconds["extract"] = MonotonicSeconds() - start;
  CheckStop("nothing was changed");
  RefuseRemoteTablespaces(plan.staging);
  {
    StopWatcher watch(nullptr);  // the tool runs on an object of the library's own
    status = util.prepare(plan.staging);
  }
  CheckStop("nothing was changed");
  if (status.IsError()) {
    Fail("preparing the backup failed: " + ReasonFromText(status.AsString(), "xtrabackup"));
  }
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
