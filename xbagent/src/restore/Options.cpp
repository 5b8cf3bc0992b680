// The command line of the one-database restore.

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

const char kUsage[] =
    "usage: xbagent restore --database NAME --defaults-file CNF\n"
    "                       (--from DIR | --from - --manifest FILE --schema FILE)\n"
    "                       [--encrypt-key-file FILE]\n"
    "                       [--as NEWNAME] [--table TABLE]... [--replace] [--dry-run]\n"
    "                       [--lock-wait-timeout SECONDS] [--tool-dir DIR] [--datadir DIR]\n"
    "                       [--socket PATH] [--user USER] [--staging-dir DIR] [-v | -q] [--log FILE]\n"
    "                       [--binlogs DIR (--until 'YYYY-MM-DD HH:MM:SS' | --until-gtid GTID)]\n"
    "\n"
    "Restores one database from a one-database backup (made by 'xbagent backup\n"
    "--database NAME --output-dir DIR') into the RUNNING server. Runs on the server's\n"
    "host, as root or as the owner of the data directory.\n"
    "\n"
    "  --database NAME      the database, as written in SQL (must be the backup's)\n"
    "  --from DIR           the backup directory\n"
    "  --from -             read the stream on standard input (as 'backup --output -'\n"
    "                       wrote it); it is hashed while it is extracted, and a size\n"
    "                       or SHA-256 that differs from the manifest changes nothing\n"
    "  --manifest FILE      with --from -: the manifest written with the stream\n"
    "  --schema FILE        with --from -: the schema written with the stream\n"
    "  --encrypt-key-file FILE  the key of an encrypted backup\n"
    "  --defaults-file CNF  client settings (socket, user, password in [client])\n"
    "  --as NEWNAME         restore into NEWNAME beside NAME, which is never touched\n"
    "  --table TABLE        restore only this table (repeatable); the target's other\n"
    "                       tables, views and routines stay as they are\n"
    "  --replace            replace the database (or the --table tables) when it exists;\n"
    "                       without it nothing that exists is ever changed\n"
    "  --dry-run            print the plan, the checks and the disk space; change nothing\n"
    "  --json               print the result (database, tables, bytes, binlog coordinates)\n"
    "  --lock-wait-timeout SECONDS\n"
    "                       longest wait for a metadata lock (default 60); then the\n"
    "                       restore stops, naming the sessions that may hold it\n"
    "  --tool-dir DIR       directory with xtrabackup and xbstream (default: PATH)\n"
    "  --datadir DIR        the server's data directory (default: asked from the server)\n"
    "  --socket PATH        the server's socket (default: the defaults file's)\n"
    "  --user USER          database user (default: the defaults file's)\n"
    "  --staging-dir DIR    where to extract and prepare (must not exist, or be empty;\n"
    "                       removed afterwards); default: a directory under $TMPDIR\n"
    "  --binlogs DIR        an archive of binlog-archive: after the restore, replay this\n"
    "                       database's events from the backup's coordinates (rewritten\n"
    "                       to NEWNAME with --as), with sql_log_bin=0\n"
    "  --until TIME         up to every transaction committed before TIME (local time)\n"
    "  --until-gtid GTID    up to and including GTID\n"
    "\n"
    "Steps: check the stream's SHA-256 and the schema against the manifest, extract and\n"
    "prepare (--export) the backup, build every table in a shadow database\n"
    "('xbagent#shadow#PID#START') from schema.sql and the prepared files, CHECK TABLE\n"
    "them, then swap them into the target with one RENAME TABLE, create views,\n"
    "triggers, routines and events, and drop the old tables. A failure before the swap\n"
    "changes nothing. Nothing is written to the binary log. Prints the binary-log\n"
    "coordinates of the backup (file_number=, position=) on standard output.\n"
    "Exit status: 0 restored, 1 failure (the message says what changed), 2 bad usage.\n";

// --table may be given many times; the common parser takes each option once.
std::vector<std::string> TakeTables(ArgList& argv) {
  std::vector<std::string> tables;
  ArgList rest;
  for (size_t i = 0; i < argv.size(); ++i) {
    const std::string& arg = argv[i];
    if (arg == "--") {
      rest.insert(rest.end(), argv.begin() + static_cast<long>(i), argv.end());
      break;
    }
    if (arg == "--table") {
      if (i + 1 >= argv.size()) UsageFail("option --table needs a value");
      tables.push_back(argv[++i]);
    } else if (arg.compare(0, 8, "--table=") == 0) {
      tables.push_back(arg.substr(8));
    } else {
      rest.push_back(arg);
    }
  }
  for (const std::string& table : tables) {
    if (table.empty()) UsageFail("--table needs a table name");
  }
  argv.swap(rest);
  return tables;
}

}  // namespace

Options ParseOptions(const ArgList& given) {
  ArgList argv = given;
  Options options;
  options.tables = TakeTables(argv);
  Args args(kUsage,
            {{"--database", true}, {"--from", true}, {"--replace", false}, {"--as", true},
             {"--dry-run", false}, {"--json", false}, {"--lock-wait-timeout", true},
             {"--defaults-file", true}, {"--tool-dir", true}, {"--datadir", true},
             {"--socket", true}, {"--user", true}, {"--staging-dir", true},
             {"--manifest", true}, {"--schema", true}, {"--encrypt-key-file", true},
             {"--binlogs", true}, {"--until", true}, {"--until-gtid", true}},
            argv);
  if (!args.Positional().empty()) UsageFail("unexpected argument '" + args.Positional()[0] + "'");
  options.database = args.Value("--database");
  if (options.database.empty()) UsageFail("--database needs a name");
  options.target = options.database;
  if (args.Has("--as")) {
    options.target = args.Value("--as");
    if (options.target.empty()) UsageFail("--as needs a database name");
    options.renamed = options.target != options.database;
  }
  if (args.Value("--from").empty()) UsageFail("--from DIR is required");
  options.fromStdin = args.Value("--from") == "-";
  if (options.fromStdin) {
    if (args.Value("--manifest").empty() || args.Value("--schema").empty()) {
      UsageFail("--from - needs --manifest FILE and --schema FILE (as 'backup --output -' "
                "wrote them)");
    }
    options.manifestFile = AbsolutePath(args.Value("--manifest"));
    options.schemaFile = AbsolutePath(args.Value("--schema"));
  } else {
    if (args.Has("--manifest") || args.Has("--schema")) {
      UsageFail("--manifest and --schema go with --from - (a stream on standard input)");
    }
    options.backupDir = AbsolutePath(args.Value("--from"));
  }
  if (args.Has("--encrypt-key-file")) {
    if (args.Value("--encrypt-key-file").empty()) UsageFail("--encrypt-key-file needs a file");
    options.keyFile = args.Value("--encrypt-key-file");
  }
  options.defaultsFile = args.Value("--defaults-file");
  if (options.defaultsFile.empty()) UsageFail("--defaults-file CNF is required");
  options.replace = args.Has("--replace");
  options.dryRun = args.Has("--dry-run");
  options.json = args.Has("--json");
  if (args.Has("--lock-wait-timeout")) {
    uint64_t seconds = 0;
    if (!ParseUnsigned(args.Value("--lock-wait-timeout"), &seconds) || seconds == 0 ||
        seconds > 31536000) {
      UsageFail("--lock-wait-timeout needs a number of seconds from 1 to 31536000");
    }
    options.lockWaitSeconds = static_cast<unsigned>(seconds);
  }
  options.toolDir = args.Value("--tool-dir");
  options.datadir = args.Value("--datadir");
  options.socket = args.Value("--socket");
  options.user = args.Value("--user");
  if (args.Has("--staging-dir")) {
    if (args.Value("--staging-dir").empty()) UsageFail("--staging-dir needs a directory");
    options.stagingDir = AbsolutePath(args.Value("--staging-dir"));
  }
  options.pointInTime = PointInTimeFromOptions(args.Value("--binlogs"), args.Has("--until"),
                                               args.Value("--until"), args.Has("--until-gtid"),
                                               args.Value("--until-gtid"));
  if (options.pointInTime.Wanted() && !options.tables.empty()) {
    UsageFail("--binlogs replays the whole database: it does not go with --table");
  }
  CheckDefaultsFile(options.defaultsFile);
  return options;
}

}  // namespace restore
}  // namespace xbagent
