// xbagent backup: the command line.

#include <string>

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

// A stream on standard output restores only with the files written beside
// it: a backup that succeeds without them could never be restored.
void CheckStreamCompanions(const BackupOptions& options) {
  if (!options.toStdout) return;
  if (options.manifestFile.empty()) {
    UsageFail("--output - needs --manifest FILE" +
              std::string(options.oneDatabase ? " and --schema FILE" : "") +
              ": restore --from - reads the stream only with the manifest (size, SHA-256, "
              "binlog coordinates)" +
              (options.oneDatabase ? " and the schema" : "") + " written beside it");
  }
  if (options.oneDatabase && options.schemaFile.empty()) {
    UsageFail("--output - with --database needs --schema FILE: restore --database --from - "
              "rebuilds the tables from the schema written beside the stream");
  }
}

}  // namespace

BackupOptions ParseBackupOptions(const ArgList& argv) {
  CommandLine cli(
      "backup", "Backs up the whole server, or one database with --database, using mariabackup.",
      "With --database, the schema (tables, views, triggers, routines, events, sequences) is "
      "dumped before and after the stream; a difference (DDL during the backup) fails the backup "
      "naming the object. Tables whose engine the one-database restore cannot bring back (CSV, "
      "ARCHIVE, ...) are named in a warning and in the manifest. A backup that meets InnoDB's "
      "unwritten checkpoint after an import (the tool leaves such tables out) makes InnoDB write "
      "one and retries once.\n\n"
      "The backup counts as good only when the tool exits 0, its last line is 'completed OK!', "
      "it reported no table as left out, and the stream holds every table's files.\n\n"
      "Exit status: 0 good backup, 1 failure, 2 bad usage.");
  BackupOptions options;
  std::string compression;
  std::string keyFile;
  cli->add_option("--defaults-file", options.defaultsFile,
                  "client settings (socket, user, password in [client]); passed to the backup "
                  "tool and to mariadb-dump as their first option")
      ->type_name("CNF")
      ->required()
      ->check(NonEmpty("a file"));
  CLI::Option* database =
      cli->add_option("--database", options.database,
                      "back up only this database, NAME as written in SQL (for example my-db "
                      "or `my-db`); its schema is saved as schema.sql")
          ->type_name("NAME")
          ->transform(SqlName("a name"));
  CLI::Option_group* output = cli->add_option_group("Output");
  output->require_option(1);
  output
      ->add_option("--output-dir", options.outputDir,
                   "create the backup directory DIR (must not exist, or be empty): "
                   "backup.xbstream, manifest.json, schema.sql, ...; it appears only when the "
                   "backup is complete and verified")
      ->type_name("DIR")
      ->check(NonEmpty("a directory"));
  std::string dash;
  CLI::Option* toStdout =
      output
          ->add_option("--output", dash, "write only the stream to standard output (for a pipe)")
          ->type_name("-")
          ->check(CLI::Validator(
              [](std::string& value) {
                return value == "-" ? "" : "takes only '-' (standard output); use --output-dir "
                                           "DIR for a directory";
              },
              ""));
  cli->add_option("--manifest", options.manifestFile,
                  "also write the manifest (with SHA-256) to FILE; required with --output -, "
                  "as restore --from - needs it")
      ->type_name("FILE")
      ->needs(toStdout)
      ->check(NonEmpty("a file name"));
  cli->add_option("--schema", options.schemaFile,
                  "write the schema to FILE; required with --output - and --database, as "
                  "restore --database --from - needs it")
      ->type_name("FILE")
      ->needs(toStdout)
      ->needs(database)
      ->check(NonEmpty("a file name"));
  cli->add_option("--tool-dir", options.toolDir,
                  "directory with xtrabackup and xbstream (links to mariabackup and mbstream); "
                  "default: found on PATH")
      ->type_name("DIR");
  cli->add_option("--user", options.user, "database user for the tool (default: the defaults "
                                           "file's)")
      ->type_name("USER");
  cli->add_option("--datadir", options.datadir,
                  "the server's data directory (default: asked from the server)")
      ->type_name("DIR");
  cli->add_option("--socket", options.socket, "the server's socket (default: the defaults file's)")
      ->type_name("PATH");
  cli->add_option("--parallel", options.parallel,
                  "files copied in parallel by the tool, 1 to 64 (default 1)")
      ->type_name("N")
      ->check(Between(1, 64, "takes a number"));
  cli->add_option("--compress", compression,
                  "compress the stream with zstd (LEVEL 1-19, default 3; multi-threaded, "
                  "streamed)")
      ->type_name("zstd[:LEVEL]")
      ->expected(0, 1)
      ->default_str("zstd");
  cli->add_option("--encrypt-key-file", keyFile,
                  "encrypt the stream with AES-256-GCM, in authenticated chunks; FILE holds 32 "
                  "random bytes, raw or base64: make one with 'head -c 32 /dev/urandom > FILE' or "
                  "'openssl rand -base64 32 > FILE', keep it apart from the backups")
      ->type_name("FILE")
      ->check(NonEmpty("a file"));
  cli->add_flag("--json", options.json,
                "print what was written (directory, size, sha256, tables, binlog coordinates) as "
                "one JSON object")
      ->excludes(toStdout);
  cli.Parse(argv);
  options.oneDatabase = cli.Has("--database");
  options.toStdout = cli.Has("--output");
  CheckStreamCompanions(options);
  if (cli.Has("--compress")) ParseCompression(compression, &options.encoding);
  if (cli.Has("--encrypt-key-file")) {
    options.key = LoadKeyFile(keyFile);
    options.encoding.encrypted = true;
  }
  CheckDefaultsFile(options.defaultsFile);
  return options;
}

}  // namespace xbagent
