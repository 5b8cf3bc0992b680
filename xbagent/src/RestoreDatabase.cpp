// xbagent restore --database NAME: restores one database of a backup into a
// running server (transportable tablespaces).
//
// Not implemented yet. The backup side already records what this needs:
// manifest.json lists every table with its engine, on-disk name, and
// partitioned/FULLTEXT flags; schema.sql recreates the database; the stream
// holds the tables' files. The restore will extract into an empty staging
// directory, prepare with --export (bFullServerXtrabackup false), recreate
// the schema, then DISCARD/copy/IMPORT TABLESPACE table by table
// (XtraBackupUtil::applyBack), with --replace allowing an existing database
// to be replaced.

#include <string>

#include "Args.h"
#include "Commands.h"
#include "Common.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent restore --database NAME --from DIR [--replace]\n"
    "                       [--defaults-file CNF] [--tool-dir DIR] [-v | -q] [--log FILE]\n"
    "\n"
    "Restores one database from a one-database backup into a running server.\n"
    "Not yet supported: exits with status 2.\n";

}  // namespace

int RunRestoreDatabase(const ArgList& argv) {
  Args args(kUsage,
            {{"--database", true}, {"--from", true}, {"--replace", false},
             {"--defaults-file", true}, {"--tool-dir", true}, {"--staging-dir", true}},
            argv);
  UsageFail("restoring one database (restore --database) is not yet supported");
}

}  // namespace xbagent
