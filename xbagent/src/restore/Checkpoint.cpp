// An InnoDB checkpoint past the restore's imports. Needed twice: before the
// swap, since the server's crash recovery from a checkpoint older than an
// IMPORT TABLESPACE followed by a RENAME TABLE of the imported table leaves
// the table empty (MariaDB 10.11: the pages of the empty table it was created
// as are applied again); and after the restore, since a backup taken before
// the next checkpoint leaves out the imported tables. Both are written by
// WriteInnodbCheckpoint (InnodbCheckpoint.h).

#include "Plan.h"

namespace xbagent {
namespace restore {

bool HasInnoDb(const Plan& plan) {
  for (const Table& table : plan.tables) {
    if (table.kind == Kind::kInnoDb || table.kind == Kind::kFulltext ||
        table.kind == Kind::kPartitioned) {
      return true;
    }
  }
  return false;
}

}  // namespace restore
}  // namespace xbagent
