// xbagent backup, last phase: the side files next to the stream, and the
// backup directory renamed from its temporary name into place.

#include <cerrno>
#include <cstdio>
#include <string>

#include "../Common.h"
#include "../Fs.h"
#include "../Manifest.h"
#include "BackupPhases.h"

namespace xbagent {

void PublishBackup(const BackupOptions& options, const ManifestContent& manifest,
                   const std::string& workDir, const std::string& finalDir) {
  const std::string manifestText = ManifestText(manifest);
  if (options.toStdout) {
    if (options.oneDatabase && !options.schemaFile.empty()) {
      WriteFileAtomically(AbsolutePath(options.schemaFile), manifest.schemaText);
    }
    if (!options.manifestFile.empty()) {
      WriteFileAtomically(AbsolutePath(options.manifestFile), manifestText);
    }
    return;
  }
  if (options.oneDatabase) WriteFileSynced(JoinPath(workDir, kSchemaFile), manifest.schemaText);
  if (manifest.binlogInfo) {
    WriteFileSynced(JoinPath(workDir, kBinlogInfoFile), *manifest.binlogInfo);
  }
  WriteFileSynced(JoinPath(workDir, kManifestFile), manifestText);
  SyncDirectory(workDir);
  if (::rename(workDir.c_str(), finalDir.c_str()) != 0) {
    Fail("cannot move the finished backup into place as " + finalDir + ": " + ErrnoText(errno));
  }
  SyncDirectory(DirName(finalDir));
}

}  // namespace xbagent
