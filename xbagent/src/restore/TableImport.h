#pragma once

// Fills one empty table of the shadow database (created from the schema)
// with its data from the prepared staging copy:
//
//   InnoDB             DISCARD TABLESPACE, copy .ibd/.cfg in, IMPORT TABLESPACE
//   InnoDB, FULLTEXT   the same with the index in place, then DROP INDEX,
//                      ALTER TABLE FORCE, ADD FULLTEXT INDEX (rebuilt index)
//   partitioned        one work table per partitioned table (CREATE ... LIKE,
//                      REMOVE PARTITIONING), reused for every partition:
//                      DISCARD, copy the partition's files in, IMPORT,
//                      EXCHANGE PARTITION; then DROP the work table
//   MyISAM, Aria       FLUSH TABLES t FOR EXPORT, replace the data and index
//                      files (new file, then rename), UNLOCK, FLUSH TABLES t
//
// followed by ANALYZE TABLE. Files are only ever written into the shadow
// database's directory, never into a live table's.

#include "../Sql.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

void ImportTable(Plan& plan, SqlConnection& sql, const Table& table);

}  // namespace restore
}  // namespace xbagent
