// The command line of the one-database restore.

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

Options ParseOptions(const ArgList& argv) {
  CommandLine cli(
      "restore",
      "Restores one database from a one-database backup (made by 'xbagent backup --database NAME "
      "--output-dir DIR') into the RUNNING server. Runs on the server's host, as root or as the "
      "owner of the data directory.",
      "Steps: check the stream's SHA-256 and the schema against the manifest, extract and "
      "prepare (--export) the backup, build every table in a shadow database "
      "('xbagent#shadow#PID#START') from schema.sql and the prepared files, CHECK TABLE them, "
      "then swap them into the target with one RENAME TABLE, create views, triggers, routines "
      "and events, and drop the old tables. A failure before the swap changes nothing. Nothing "
      "is written to the binary log. Prints the binary-log coordinates of the backup "
      "(file_number=, position=) on standard output.\n\n"
      "Exit status: 0 restored, 1 failure (the message says what changed), 2 bad usage.");
  Options options;
  cli->add_option("--database", options.database,
                  "the database, as written in SQL (must be the backup's)")
      ->type_name("NAME")
      ->required()
      ->transform(SqlName("a name"));
  cli->add_option("--from", options.backupDir,
                  "the backup directory, or - to read the stream on standard input (as 'backup "
                  "--output -' wrote it; needs --manifest and --schema); it is hashed while it is "
                  "extracted, and a size or SHA-256 that differs from the manifest changes nothing")
      ->type_name("DIR")
      ->required()
      ->check(NonEmpty("a directory"));
  cli->add_option("--manifest", options.manifestFile,
                  "with --from -: the manifest written with the stream")
      ->type_name("FILE")
      ->check(NonEmpty("a file"));
  cli->add_option("--schema", options.schemaFile,
                  "with --from -: the schema written with the stream")
      ->type_name("FILE")
      ->check(NonEmpty("a file"));
  cli->add_option("--defaults-file", options.defaultsFile,
                  "client settings (socket, user, password in [client])")
      ->type_name("CNF")
      ->required()
      ->check(NonEmpty("a file"));
  cli->add_option("--encrypt-key-file", options.keyFile, "the key of an encrypted backup")
      ->type_name("FILE")
      ->check(NonEmpty("a file"));
  cli->add_option("--as", options.target,
                  "restore into NEWNAME beside NAME, which is never touched")
      ->type_name("NEWNAME")
      ->transform(SqlName("a database name"));
  CLI::Option* tables =
      cli->add_option("--table", options.tables,
                      "restore only this table; the target's other tables, views and routines "
                      "stay as they are")
          ->type_name("TABLE")
          ->allow_extra_args(false)
          ->transform(SqlName("a table name"));
  cli->add_flag("--replace", options.replace,
                "replace the database (or the --table tables) when it exists; without it nothing "
                "that exists is ever changed");
  cli->add_flag("--allow-orphans", options.allowOrphans,
                "restore even when rows of a table left where it is (in another database, or "
                "not given with --table) have a foreign key to a restored table and reference "
                "rows the backup does not hold; without it such a restore is refused before the "
                "swap, naming the table and the count");
  cli->add_flag("--dry-run", options.dryRun,
                "print the plan, the checks and the disk space; change nothing");
  cli->add_flag("--json", options.json,
                "print the result (database, tables, bytes, binlog coordinates), or with "
                "--dry-run the plan, as one JSON object");
  cli->add_option("--lock-wait-timeout", options.lockWaitSeconds,
                  "longest wait for a metadata lock, 1 to 31536000 (default 60); then the restore "
                  "stops, naming the sessions that may hold it")
      ->type_name("SECONDS")
      ->check(Between(1, 31536000, "needs a number of seconds"));
  cli->add_option("--tool-dir", options.toolDir,
                  "directory with xtrabackup and xbstream (default: PATH)")
      ->type_name("DIR");
  cli->add_option("--datadir", options.datadir,
                  "the server's data directory (default: asked from the server)")
      ->type_name("DIR");
  cli->add_option("--socket", options.socket, "the server's socket (default: the defaults file's)")
      ->type_name("PATH");
  cli->add_option("--user", options.user, "database user (default: the defaults file's)")
      ->type_name("USER");
  cli->add_option("--staging-dir", options.stagingDir,
                  "where to extract and prepare (must not exist, or be empty; removed "
                  "afterwards); default: a directory under $TMPDIR")
      ->type_name("DIR")
      ->check(NonEmpty("a directory"));
  PointInTimeOptions pointInTime(cli,
                                 "after the restore, replay this database's events from the "
                                 "backup's coordinates (rewritten to NEWNAME with --as), with "
                                 "sql_log_bin=0");
  cli->get_option("--binlogs")->excludes(tables);
  cli.Parse(argv);
  options.renamed = cli.Has("--as") && options.target != options.database;
  if (!cli.Has("--as")) options.target = options.database;
  options.fromStdin = options.backupDir == "-";
  if (options.fromStdin) {
    if (options.manifestFile.empty() || options.schemaFile.empty()) {
      UsageFail("--from - needs --manifest FILE and --schema FILE (as 'backup --output -' "
                "wrote them)");
    }
    options.backupDir.clear();
    options.manifestFile = AbsolutePath(options.manifestFile);
    options.schemaFile = AbsolutePath(options.schemaFile);
  } else {
    if (cli.Has("--manifest") || cli.Has("--schema")) {
      UsageFail("--manifest and --schema go with --from - (a stream on standard input)");
    }
    options.backupDir = AbsolutePath(options.backupDir);
  }
  if (!options.stagingDir.empty()) options.stagingDir = AbsolutePath(options.stagingDir);
  options.pointInTime = pointInTime.Target();
  CheckDefaultsFile(options.defaultsFile);
  return options;
}

}  // namespace restore
}  // namespace xbagent
