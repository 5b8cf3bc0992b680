#pragma once

// Files of the tables: what the prepared staging copy must hold, copies into
// the shadow database's directory with the server's owner, and Aria files
// made independent of the backed-up server's log.

#include <cstdint>
#include <string>
#include <vector>

#include "Plan.h"

namespace xbagent {
namespace restore {

// Default staging directories: ScratchBase()/xbagent-restore.<pid>-<start>.
constexpr const char* kStagingPrefix = "xbagent-restore.";

bool IsRegularFile(const std::string& path);

// Copies source to target, which must not exist (O_EXCL), with the server's
// owner and mode 0660; synced when asked. Returns the bytes. A partial
// target is removed.
uint64_t CopyNewFile(const Plan& plan, const std::string& source, const std::string& target,
                     bool sync);
// Moves source (a staged file nothing else needs) to target, which must not
// exist, with the server's owner and mode 0660: a rename on one file system,
// else an unsynced copy. For InnoDB tablespaces, which IMPORT TABLESPACE
// rewrites page by page and syncs itself. Returns the bytes.
uint64_t MoveNewFile(const Plan& plan, const std::string& source, const std::string& target);
// Replaces target by a synced copy of source (a new file renamed over it).
uint64_t CopyReplacingFile(const Plan& plan, const std::string& source, const std::string& target);

// A database named "#mysql50#..." gets the .cfg files of its InnoDB tables
// written into the prepared staging copy (the tool's export leaves them out).
void ExportOldNameTables(Plan& plan);
// Every file the plan needs is in the prepared staging directory; fills the
// partition stems of partitioned tables.
void CheckStagingFiles(Plan& plan);
// Aria tables (transactional by default) carry log sequence numbers of the
// server they were backed up on; aria_chk --zerofill resets them in the
// staging copy, so the live server's recovery never replays its own log
// onto them.
void ResetAriaLogNumbers(Plan& plan);

}  // namespace restore
}  // namespace xbagent
