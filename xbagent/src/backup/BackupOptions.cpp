// xbagent backup: the command line.

#include <cstdint>
#include <string>

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent backup --defaults-file CNF [--database NAME]\n"
    "                      (--output-dir DIR | --output - [--manifest FILE] [--schema FILE])\n"
    "                      [--tool-dir DIR] [--user USER] [--datadir DIR] [--socket PATH]\n"
    "                      [--parallel N] [--compress [zstd[:LEVEL]]] [--encrypt-key-file FILE]\n"
    "                      [-v | -q] [--log FILE]\n"
    "\n"
    "Backs up the whole server, or one database with --database, using mariabackup.\n"
    "\n"
    "  --defaults-file CNF  client settings (socket, user, password in [client]); passed\n"
    "                       to the backup tool and to mariadb-dump as their first option\n"
    "  --database NAME      back up only this database, NAME as written in SQL (for\n"
    "                       example my-db); its schema is saved as schema.sql\n"
    "  --output-dir DIR     create the backup directory DIR (must not exist, or be empty):\n"
    "                       backup.xbstream, manifest.json, schema.sql, ...; it appears\n"
    "                       only when the backup is complete and verified\n"
    "  --output -           write only the stream to standard output (for a pipe)\n"
    "  --manifest FILE      with --output -: also write the manifest (with SHA-256) to FILE\n"
    "  --schema FILE        with --output - and --database: write the schema to FILE\n"
    "  --tool-dir DIR       directory with xtrabackup and xbstream (links to mariabackup\n"
    "                       and mbstream); default: found on PATH\n"
    "  --user USER          database user for the tool (default: the defaults file's)\n"
    "  --datadir DIR        the server's data directory (default: asked from the server)\n"
    "  --socket PATH        the server's socket (default: the defaults file's)\n"
    "  --parallel N         files copied in parallel by the tool (default 1)\n"
    "  --compress [zstd[:LEVEL]]  compress the stream with zstd (level 1-19, default 3;\n"
    "                       multi-threaded, streamed)\n"
    "  --encrypt-key-file FILE  encrypt the stream with AES-256-GCM, in authenticated\n"
    "                       chunks; FILE holds 32 random bytes, raw or base64: make one\n"
    "                       with 'head -c 32 /dev/urandom > FILE' or\n"
    "                       'openssl rand -base64 32 > FILE', keep it apart from the backups\n"
    "  --json               with --output-dir: print what was written (directory, size,\n"
    "                       sha256, tables, binlog coordinates) as one JSON object\n"
    "\n"
    "With --database, the schema (tables, views, triggers, routines, events, sequences)\n"
    "is dumped before and after the stream; a difference (DDL during the backup) fails\n"
    "the backup naming the object. Tables whose engine the one-database restore cannot\n"
    "bring back (CSV, ARCHIVE, ...) are named in a warning and in the manifest.\n"
    "A backup that meets InnoDB's unwritten checkpoint after an import (the tool\n"
    "leaves such tables out) makes InnoDB write one and retries once.\n"
    "\n"
    "The backup counts as good only when the tool exits 0, its last line is\n"
    "'completed OK!', it reported no table as left out, and the stream holds every\n"
    "table's files. Exit status: 0 good backup, 1 failure, 2 bad usage.\n";

}  // namespace

namespace {

// "--compress" alone means zstd at the default level.
ArgList WithCompressionValue(const ArgList& argv) {
  ArgList out;
  for (size_t i = 0; i < argv.size(); ++i) {
    out.push_back(argv[i]);
    if (argv[i] == "--") {
      out.insert(out.end(), argv.begin() + static_cast<long>(i) + 1, argv.end());
      break;
    }
    if (argv[i] == "--compress" &&
        (i + 1 == argv.size() || argv[i + 1].compare(0, 4, "zstd") != 0)) {
      out.push_back("zstd");
    }
  }
  return out;
}

}  // namespace

BackupOptions ParseBackupOptions(const ArgList& argv) {
  Args args(kUsage,
            {{"--defaults-file", true}, {"--database", true}, {"--output-dir", true},
             {"--output", true}, {"--manifest", true}, {"--schema", true}, {"--tool-dir", true},
             {"--user", true}, {"--datadir", true}, {"--socket", true}, {"--parallel", true},
             {"--compress", true}, {"--encrypt-key-file", true}, {"--json", false}},
            WithCompressionValue(argv));
  if (!args.Positional().empty()) UsageFail("unexpected argument '" + args.Positional()[0] + "'");
  BackupOptions options;
  options.defaultsFile = args.Value("--defaults-file");
  if (options.defaultsFile.empty()) UsageFail("--defaults-file CNF is required");
  options.oneDatabase = args.Has("--database");
  options.database = args.Value("--database");
  if (options.oneDatabase && options.database.empty()) UsageFail("--database needs a name");
  if (args.Has("--output-dir") == args.Has("--output")) {
    UsageFail("give exactly one of --output-dir DIR and --output -");
  }
  if (args.Has("--output")) {
    if (args.Value("--output") != "-") {
      UsageFail("--output takes only '-' (standard output); use --output-dir DIR for a directory");
    }
    options.toStdout = true;
  } else {
    options.outputDir = args.Value("--output-dir");
    if (options.outputDir.empty()) UsageFail("--output-dir needs a directory");
  }
  options.json = args.Has("--json");
  if (options.json && options.toStdout) {
    UsageFail("--json goes with --output-dir; with --output - standard output carries the stream");
  }
  options.manifestFile = args.Value("--manifest");
  options.schemaFile = args.Value("--schema");
  if (!options.toStdout && (args.Has("--manifest") || args.Has("--schema"))) {
    UsageFail("--manifest and --schema go with --output -; --output-dir writes both itself");
  }
  if (args.Has("--schema") && !options.oneDatabase) UsageFail("--schema needs --database");
  if ((args.Has("--manifest") && options.manifestFile.empty()) ||
      (args.Has("--schema") && options.schemaFile.empty())) {
    UsageFail("--manifest and --schema need a file name");
  }
  options.toolDir = args.Value("--tool-dir");
  options.user = args.Value("--user");
  options.datadir = args.Value("--datadir");
  options.socket = args.Value("--socket");
  if (args.Has("--parallel")) {
    uint64_t parallel = 0;
    if (!ParseUnsigned(args.Value("--parallel"), &parallel) || parallel < 1 || parallel > 64) {
      UsageFail("--parallel takes a number from 1 to 64");
    }
    options.parallel = static_cast<unsigned long>(parallel);
  }
  if (args.Has("--compress")) ParseCompression(args.Value("--compress"), &options.encoding);
  if (args.Has("--encrypt-key-file")) {
    if (args.Value("--encrypt-key-file").empty()) UsageFail("--encrypt-key-file needs a file");
    options.key = LoadKeyFile(args.Value("--encrypt-key-file"));
    options.encoding.encrypted = true;
  }
  CheckDefaultsFile(options.defaultsFile);
  return options;
}

}  // namespace xbagent
