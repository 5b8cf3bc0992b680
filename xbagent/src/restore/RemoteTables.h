#pragma once

// InnoDB tables whose tablespace lives outside the data directory (DATA
// DIRECTORY). The server's RENAME TABLE of such a table into another database
// leaves its link file (.isl) in the old database's directory, so after a
// restart the table cannot be opened; a RENAME within one database moves the
// remote file and rewrites the link. So the restore never moves such a table
// across databases:
//
//   - a restored one is built in the target database under a hidden name
//     (HiddenTable "new"), with the DATA DIRECTORY of the live table it
//     replaces, or the backup's when there is none, and the swap's one RENAME
//     TABLE gives it its name;
//   - a live one the swap replaces is renamed by the same statement to a
//     hidden name in the target ("old") and dropped when the restore finishes.
//
// A run that dies leaves hidden tables whose identity names a dead run; the
// next run drops them (RemoveLeftovers), with the files at their remote path.

#include <string>

#include "../Sql.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

// Check phase: which live tables are remote, where each restored InnoDB table
// goes. Refuses, naming the table and the reason, what cannot be done safely.
void PlanRemoteTables(Plan& plan);
// Refuses a table that cannot keep a DATA/INDEX DIRECTORY through this
// restore (MyISAM, Aria, partitioned, FULLTEXT).
void RefuseRemoteKind(const Table& table);
// Build phase, before anything is created in the target: a remote table of
// the shadow takes part in no foreign key.
void CheckRemoteForeignKeys(Plan& plan);
// Creates table.work in the target (the target first, when it does not
// exist) like the shadow's table, with table.dataDirectory.
void CreateRemoteWorkTable(Plan& plan, SqlConnection& sql, const Table& table);
// "<dataDirectory>/<database on disk>/<stem>.ibd", where the server keeps it.
std::string RemoteTablespacePath(const std::string& dataDirectory, const std::string& database,
                                 const std::string& stem);
// Drops a hidden table of the target, then removes what a killed run may
// have left at the remote path its link names. Never throws.
bool DropHiddenTable(Plan& plan, const std::string& database, const std::string& name,
                     std::string* error);

}  // namespace restore
}  // namespace xbagent
