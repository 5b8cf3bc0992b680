// xbagent backup: streams a backup of the whole server or of one database
// through the utility library and keeps it only when it is known good.

#include <cerrno>
#include <future>
#include <set>
#include <utility>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "Commands.h"
#include "Common.h"
#include "Fs.h"
#include "Json.h"
#include "Log.h"
#include "Manifest.h"
#include "Relay.h"
#include "Sha256.h"
#include "Sql.h"
#include "ToolOutput.h"
#include "Tools.h"
#include "XbStream.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent backup --defaults-file CNF [--database NAME]\n"
    "                      (--output-dir DIR | --output - [--manifest FILE] [--schema FILE])\n"
    "                      [--tool-dir DIR] [--user USER] [--datadir DIR] [--socket PATH]\n"
    "                      [--parallel N] [-v | -q] [--log FILE]\n"
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
    "\n"
    "The backup counts as good only when the tool exits 0, its last line is\n"
    "'completed OK!', it reported no table as left out, and the stream holds every\n"
    "table's files. Exit status: 0 good backup, 1 failure, 2 bad usage.\n";

constexpr size_t kSmallFileBytes = 64 * 1024;

struct TableInfo {
  std::string database;
  std::string name;
  std::string engine;
  bool partitioned = false;
  bool fulltext = false;
};

struct ServerFacts {
  std::string version;
  std::string user;
  std::string datadir;
  std::string hostname;
  bool logBin = false;
  std::vector<TableInfo> tables;
  bool tablespacesKnown = false;
  std::vector<std::string> tablespaces;  // InnoDB file-per-table spaces, "db/name" on disk
};

struct Options {
  std::string defaultsFile;
  bool oneDatabase = false;
  std::string database;
  std::string outputDir;  // empty with --output -
  bool toStdout = false;
  std::string manifestFile;
  std::string schemaFile;
  std::string toolDir;
  std::string user;
  std::string datadir;
  std::string socket;
  unsigned long parallel = 1;
};

Options ParseOptions(const ArgList& argv) {
  Args args(kUsage,
            {{"--defaults-file", true}, {"--database", true}, {"--output-dir", true},
             {"--output", true}, {"--manifest", true}, {"--schema", true}, {"--tool-dir", true},
             {"--user", true}, {"--datadir", true}, {"--socket", true}, {"--parallel", true}},
            argv);
  if (!args.Positional().empty()) UsageFail("unexpected argument '" + args.Positional()[0] + "'");
  Options options;
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
  return options;
}

// Facts about the server and the tables the backup is expected to hold.
ServerFacts InspectServer(SqlConnection& sql, const Options& options) {
  ServerFacts facts;
  std::vector<SqlRow> rows =
      sql.Query("SELECT VERSION(), SUBSTRING_INDEX(USER(), '@', 1), @@datadir, @@hostname, "
                "@@log_bin");
  if (rows.empty() || rows[0].size() < 5) Fail("the server did not describe itself");
  facts.version = rows[0][0];
  facts.user = rows[0][1];
  facts.datadir = StripTrailingSlashes(rows[0][2]);
  facts.hostname = rows[0][3];
  facts.logBin = rows[0][4] == "1";

  std::string scope;
  if (options.oneDatabase) {
    std::string exists = sql.Scalar(
        "SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE CAST(SCHEMA_NAME AS BINARY) = " +
        SqlBytes(options.database));
    if (exists != "1") Fail("database '" + options.database + "' does not exist on the server");
    scope = "CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(options.database);
  } else {
    scope = "TABLE_SCHEMA NOT IN ('information_schema', 'performance_schema')";
  }
  std::set<std::pair<std::string, std::string>> fulltext;
  for (const SqlRow& row :
       sql.Query("SELECT DISTINCT TABLE_SCHEMA, TABLE_NAME FROM information_schema.STATISTICS "
                 "WHERE INDEX_TYPE = 'FULLTEXT' AND " + scope)) {
    fulltext.emplace(row[0], row[1]);
  }
  for (const SqlRow& row :
       sql.Query("SELECT TABLE_SCHEMA, TABLE_NAME, IFNULL(ENGINE, ''), "
                 "IFNULL(CREATE_OPTIONS, '') LIKE '%partitioned%' "
                 "FROM information_schema.TABLES "
                 "WHERE TABLE_TYPE IN ('BASE TABLE', 'SYSTEM VERSIONED', 'SEQUENCE') AND " +
                 scope + " ORDER BY TABLE_SCHEMA, TABLE_NAME")) {
    TableInfo table;
    table.database = row[0];
    table.name = row[1];
    table.engine = row[2];
    table.partitioned = row[3] == "1";
    table.fulltext = fulltext.count({row[0], row[1]}) != 0;
    facts.tables.push_back(table);
  }
  try {
    for (const SqlRow& row : sql.Query("SELECT NAME FROM information_schema.INNODB_SYS_TABLESPACES "
                                       "WHERE NAME LIKE '%/%'")) {
      facts.tablespaces.push_back(row[0]);
    }
    facts.tablespacesKnown = true;
  } catch (const Failure& failure) {
    Log().Detail(Verbosity::kVerbose, std::string("InnoDB tablespaces not listed: ") +
                                          failure.what());
  }
  return facts;
}

// "db/name" as the tool writes it into the stream.
std::string OnDiskPath(XtraBackup::XtraBackupUtil& util, const std::string& database,
                       const std::string& table) {
  std::string db;
  std::string name;
  util.convertSpecialCharsToHexChars(database, db);
  util.convertSpecialCharsToHexChars(table, name);
  return db + "/" + name;
}

// Tables the server listed whose files the stream does not carry.
std::vector<std::string> MissingFromStream(XtraBackup::XtraBackupUtil& util,
                                           const ServerFacts& facts, const Options& options,
                                           const XbStreamScanner& scanner) {
  std::vector<std::string> missing;
  for (const TableInfo& table : facts.tables) {
    std::string stem = OnDiskPath(util, table.database, table.name);
    if (!scanner.HasFile(stem + ".frm")) {
      missing.push_back(SqlIdentifier(table.database) + "." + SqlIdentifier(table.name));
    }
  }
  if (facts.tablespacesKnown) {
    std::string prefix;
    if (options.oneDatabase) {
      util.convertSpecialCharsToHexChars(options.database, prefix);
      prefix += "/";
    }
    for (const std::string& space : facts.tablespaces) {
      if (space.compare(0, prefix.size(), prefix) != 0) continue;
      if (space.find("#sql") != std::string::npos) continue;  // an ALTER's work table
      if (!scanner.HasFile(space + ".ibd") && !scanner.HasFile(space + ".new")) {
        missing.push_back("tablespace " + space);
      }
    }
  }
  return missing;
}

JsonValue ParseKeyValues(const std::string& text) {
  JsonValue object = JsonValue::Object();
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    size_t equals = line.find('=');
    if (equals != std::string::npos) {
      std::string key = Trim(line.substr(0, equals));
      std::string value = Trim(line.substr(equals + 1));
      uint64_t number = 0;
      object.Set(key, ParseUnsigned(value, &number) ? JsonValue::Number(number)
                                                    : JsonValue::String(value));
    }
    start = end + 1;
  }
  return object;
}

// "mysql-bin.000001\t1309459\t0-1-21\n" (MariaDB) or "file\tpos[\tgtid]".
JsonValue ParseBinlogInfo(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  std::string line = text.substr(0, text.find('\n'));
  while (start <= line.size()) {
    size_t tab = line.find('\t', start);
    if (tab == std::string::npos) tab = line.size();
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  JsonValue binlog = JsonValue::Object();
  uint64_t position = 0;
  if (fields.size() < 2 || fields[0].empty() || !ParseUnsigned(Trim(fields[1]), &position)) {
    return JsonValue::Null();
  }
  binlog.Set("file", JsonValue::String(fields[0]));
  binlog.Set("position", JsonValue::Number(position));
  // The GTID part is everything after the second TAB (it may span lines).
  std::string gtid;
  size_t firstTab = text.find('\t');
  size_t secondTab = firstTab == std::string::npos ? firstTab : text.find('\t', firstTab + 1);
  if (secondTab != std::string::npos) gtid = Trim(text.substr(secondTab + 1));
  binlog.Set("gtid", gtid.empty() ? JsonValue::Null() : JsonValue::String(gtid));
  return binlog;
}

std::string SchemaCommand(const Options& options) {
  std::string dump = FindProgram({"mariadb-dump", "mysqldump"});
  if (dump.empty()) Fail("mariadb-dump is not on PATH (install mariadb-client)");
  std::string command = ShellQuote(dump) + " --defaults-file=" + ShellQuote(options.defaultsFile);
  if (!options.socket.empty()) command += " --socket=" + ShellQuote(options.socket);
  if (!options.user.empty()) command += " --user=" + ShellQuote(options.user);
  command += " --no-data --routines --triggers --databases " + ShellQuote(options.database);
  return command;
}

}  // namespace

int RunBackup(const ArgList& argv) {
  Options options = ParseOptions(argv);
  const double started = MonotonicSeconds();
  const std::string startedAt = UtcTimestamp();
  const std::string what =
      options.oneDatabase ? "database '" + options.database + "'" : std::string("whole server");

  if (options.toStdout && ::isatty(1) == 1) {
    UsageFail("refusing to write the binary stream to a terminal; redirect standard output");
  }
  if (::access(options.defaultsFile.c_str(), R_OK) != 0) {
    Fail("cannot read defaults file " + options.defaultsFile + ": " + ErrnoText(errno));
  }
  options.defaultsFile = AbsolutePath(options.defaultsFile);

  // Where the result goes: a hidden temporary directory next to the final
  // one, renamed into place only when the backup is good.
  std::string finalDir;
  std::string workDir;
  PathGuard workGuard;
  if (!options.toStdout) {
    finalDir = AbsolutePath(options.outputDir);
    if (PathExists(finalDir)) {
      if (!IsDirectory(finalDir)) Fail("output " + finalDir + " exists and is not a directory");
      if (!IsEmptyDirectory(finalDir)) {
        Fail("output directory " + finalDir + " already exists and is not empty");
      }
    }
    workDir = JoinPath(DirName(finalDir),
                       "." + BaseName(finalDir) + ".partial-" + std::to_string(::getpid()));
    if (::mkdir(workDir.c_str(), 0700) != 0) {
      Fail("cannot create the output directory in " + DirName(finalDir) + ": " +
           ErrnoText(errno));
    }
    workGuard.Reset(workDir);
  } else {
    workDir = MakeScratchDir("xbagent-backup");
    workGuard.Reset(workDir);
  }

  // The tool's version, for the manifest, costs a start of a process as
  // large as the server: it is asked alongside the backup, not before it.
  // A tool that does not run fails the backup itself, with its own reason.
  ToolDir tools(options.toolDir);
  std::future<std::string> toolVersionCheck =
      std::async(std::launch::async, ToolVersion, tools.path());

  // The server: reachable with these settings, and what it holds.
  ServerFacts facts;
  {
    SqlConnection sql(options.defaultsFile, options.socket, options.user);
    facts = InspectServer(sql, options);
  }
  Log().Detail(Verbosity::kVerbose, "server " + facts.version + ", datadir " + facts.datadir +
                                        ", " + std::to_string(facts.tables.size()) + " tables");
  std::string libraryFile;
  std::string libraryVersion;
  LibraryVersion(&libraryFile, &libraryVersion);

  XtraBackup::mysqlDetails details;
  details.sDefaultsFile = options.defaultsFile;
  details.sUser = options.user.empty() ? facts.user : options.user;
  details.sDataDir = options.datadir.empty() ? facts.datadir : options.datadir;
  details.sConnectInfo = options.socket.empty() ? std::string() : "socket=" + options.socket;
  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::XtraBackupUtil util(false, details, &child, tools.path());
  util.bFullServerXtrabackup = !options.oneDatabase;
  CKaError status = util.initialize();
  if (status.IsError()) Fail("the utility library did not initialise: " + status.AsString());

  std::string encodedDatabase;
  if (options.oneDatabase) util.convertSpecialCharsToHexChars(options.database, encodedDatabase);

  // The schema, taken before the data so a restore can recreate the tables;
  // a bare stream to standard output keeps nothing it could go into.
  std::string schema;
  const bool keepSchema =
      !options.toStdout || !options.schemaFile.empty() || !options.manifestFile.empty();
  if (options.oneDatabase && keepSchema) {
    std::string command = SchemaCommand(options);
    Log().Detail(Verbosity::kVerbose, "schema: " + command);
    status = util.getSchemaDataForXtrabackup(command, schema);
    if (status.IsError()) {
      Fail("the schema dump failed: " + ReasonFromText(status.AsString(), "mariadb-dump"));
    }
    if (schema.find("CREATE DATABASE") == std::string::npos) {
      Fail("the schema dump of " + what + " holds no CREATE DATABASE");
    }
  }

  // The stream.
  int outFd = 1;
  std::string streamPath;
  if (!options.toStdout) {
    streamPath = JoinPath(workDir, kStreamFile);
    outFd = ::open(streamPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (outFd < 0) Fail("cannot create " + streamPath + ": " + ErrnoText(errno));
  }
  const bool hash = !options.toStdout || !options.manifestFile.empty();
  std::string lsnDir = JoinPath(workDir, kCheckpointsDir);
  Log().Notice("xbagent: backing up " + what + " (" + facts.version + ")");
  status = util.startStream(options.oneDatabase ? encodedDatabase : std::string(),
                            options.parallel, lsnDir);
  if (status.IsError()) {
    if (outFd != 1) ::close(outFd);
    Fail("the backup tool could not be started: " + status.AsString());
  }

  XbStreamScanner scanner;
  scanner.Capture(kBinlogInfoFile, kSmallFileBytes);
  scanner.Capture(kCheckpointsFile, kSmallFileBytes);
  ToolOutput toolErrors("xtrabackup");
  RelayResult relay = RelayStream(child, outFd, hash, scanner, toolErrors);
  int closeErr = 0;
  if (outFd != 1) {
    if (relay.writeErrno == 0 && ::fdatasync(outFd) != 0) closeErr = errno;
    if (::close(outFd) != 0 && closeErr == 0) closeErr = errno;
  }
  const std::string destination = options.toStdout ? "standard output" : streamPath;

  // Judge the result: anything short of a verified complete stream fails.
  if (relay.stopped) Fail("interrupted; the backup was abandoned");
  if (relay.writeErrno != 0) {
    Fail("cannot write the stream to " + destination + ": " + ErrnoText(relay.writeErrno));
  }
  if (closeErr != 0) Fail("cannot write the stream to " + destination + ": " + ErrnoText(closeErr));
  if (relay.readErrno != 0) {
    Fail("reading the stream from the backup tool failed: " + ErrnoText(relay.readErrno));
  }
  if (relay.exitStatus != 0) {
    std::string reason = toolErrors.Reason();
    Fail("the backup tool failed (exit status " + std::to_string(relay.exitStatus) + ")" +
         (reason.empty() ? std::string() : ": " + reason));
  }
  if (!toolErrors.DroppedTableLine().empty()) {
    Fail("the backup is incomplete: the tool left out " +
         std::to_string(toolErrors.DroppedTableLines()) +
         " table(s): " + toolErrors.DroppedTableLine());
  }
  if (!toolErrors.EndsWithSuccess()) {
    Fail("the backup tool did not report success (its last line: '" + toolErrors.LastLine() +
         "')");
  }
  if (child.GetDroppedErrBytes() > 0) {
    Fail("part of the backup tool's messages was lost (" +
         std::to_string(child.GetDroppedErrBytes()) + " bytes); the backup cannot be verified");
  }
  if (!scanner.Problem().empty()) Fail("the stream is not complete: " + scanner.Problem());
  if (!scanner.HasFile(kCheckpointsFile)) {
    Fail(std::string("the stream holds no ") + kCheckpointsFile);
  }
  std::vector<std::string> missing = MissingFromStream(util, facts, options, scanner);
  if (!missing.empty()) {
    Fail("the stream lacks the files of " + std::to_string(missing.size()) +
         " table(s) the server listed, first " + missing[0] +
         " (dropped or created during the backup?)");
  }

  // A verified backup is kept even when the version query failed on its own.
  std::string toolVersion;
  try {
    toolVersion = toolVersionCheck.get();
  } catch (const Failure& failure) {
    Log().Notice(std::string("xbagent: the tool's version is not known: ") + failure.what());
    toolVersion = "unknown";
  }
  Log().Detail(Verbosity::kVerbose, "tool " + toolVersion);

  // The manifest and the side files.
  const double elapsed = MonotonicSeconds() - started;
  JsonValue manifest = JsonValue::Object();
  manifest.Set("format", JsonValue::String(kManifestFormat));
  manifest.Set("format_version", JsonValue::Number(kManifestVersion));
  manifest.Set("kind", JsonValue::String(options.oneDatabase ? "database" : "server"));
  manifest.Set("database",
               options.oneDatabase ? JsonValue::String(options.database) : JsonValue::Null());
  manifest.Set("database_on_disk",
               options.oneDatabase ? JsonValue::String(encodedDatabase) : JsonValue::Null());
  JsonValue& server = manifest.Set("server", JsonValue::Object());
  server.Set("version", JsonValue::String(facts.version));
  server.Set("hostname", JsonValue::String(facts.hostname));
  server.Set("datadir", JsonValue::String(details.sDataDir));
  server.Set("log_bin", JsonValue::Bool(facts.logBin));
  JsonValue& tool = manifest.Set("tool", JsonValue::Object());
  tool.Set("version", JsonValue::String(toolVersion));
  tool.Set("parallel", JsonValue::Number(options.parallel));
  JsonValue& library = manifest.Set("library", JsonValue::Object());
  library.Set("file", JsonValue::String(libraryFile));
  library.Set("version", JsonValue::String(libraryVersion));
  manifest.Set("started_at", JsonValue::String(startedAt));
  manifest.Set("finished_at", JsonValue::String(UtcTimestamp()));
  manifest.Set("duration_seconds", JsonValue::Real(elapsed));
  JsonValue& stream = manifest.Set("stream", JsonValue::Object());
  stream.Set("file", options.toStdout ? JsonValue::Null() : JsonValue::String(kStreamFile));
  stream.Set("format", JsonValue::String("xbstream"));
  stream.Set("size", JsonValue::Number(relay.bytes));
  stream.Set("sha256", JsonValue::String(relay.sha256));
  stream.Set("files", JsonValue::Number(scanner.Files().size()));
  if (options.oneDatabase) {
    JsonValue& schemaInfo = manifest.Set("schema", JsonValue::Object());
    schemaInfo.Set("file", JsonValue::String(options.toStdout ? options.schemaFile : kSchemaFile));
    schemaInfo.Set("size", JsonValue::Number(schema.size()));
    schemaInfo.Set("sha256", JsonValue::String(Sha256OfText(schema)));
  } else {
    manifest.Set("schema", JsonValue::Null());
  }
  const std::string* binlogText = scanner.Captured(kBinlogInfoFile);
  manifest.Set("binlog", binlogText ? ParseBinlogInfo(*binlogText) : JsonValue::Null());
  const std::string* checkpoints = scanner.Captured(kCheckpointsFile);
  manifest.Set("checkpoints",
               checkpoints ? ParseKeyValues(*checkpoints) : JsonValue::Null());
  JsonValue& tables = manifest.Set("tables", JsonValue::Array());
  for (const TableInfo& info : facts.tables) {
    JsonValue entry = JsonValue::Object();
    entry.Set("database", JsonValue::String(info.database));
    entry.Set("name", JsonValue::String(info.name));
    entry.Set("on_disk", JsonValue::String(OnDiskPath(util, info.database, info.name)));
    entry.Set("engine", JsonValue::String(info.engine));
    entry.Set("partitioned", JsonValue::Bool(info.partitioned));
    entry.Set("fulltext", JsonValue::Bool(info.fulltext));
    tables.Push(entry);
  }
  const std::string manifestText = manifest.Dump();

  std::string summary = what + ": " + std::to_string(facts.tables.size()) + " tables, " +
                        HumanBytes(relay.bytes) + " in " + HumanSeconds(elapsed);
  if (options.toStdout) {
    if (options.oneDatabase && !options.schemaFile.empty()) {
      WriteFileAtomically(AbsolutePath(options.schemaFile), schema);
    }
    if (!options.manifestFile.empty()) {
      WriteFileAtomically(AbsolutePath(options.manifestFile), manifestText);
    }
    Log().Notice("xbagent: backup complete, " + summary + " written to standard output");
    return kExitOk;
  }

  if (options.oneDatabase) WriteFileSynced(JoinPath(workDir, kSchemaFile), schema);
  if (binlogText) WriteFileSynced(JoinPath(workDir, kBinlogInfoFile), *binlogText);
  WriteFileSynced(JoinPath(workDir, kManifestFile), manifestText);
  SyncDirectory(workDir);
  if (::rename(workDir.c_str(), finalDir.c_str()) != 0) {
    Fail("cannot move the finished backup into place as " + finalDir + ": " + ErrnoText(errno));
  }
  workGuard.Release();
  SyncDirectory(DirName(finalDir));
  Log().Notice("xbagent: backup complete, " + summary + " -> " + finalDir);
  return kExitOk;
}

}  // namespace xbagent
