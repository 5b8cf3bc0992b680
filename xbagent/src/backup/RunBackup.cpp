// xbagent backup: streams a backup of the whole server or of one database
// through the utility library and keeps it only when it is known good. The
// phases are in this folder, one a file; this file runs them in order.

#include <cerrno>
#include <memory>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "../HurriedFlushing.h"
#include "../InnodbCheckpoint.h"
#include "../RunLock.h"
#include "../Log.h"
#include "../SwapJournal.h"
#include "../Tools.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

constexpr double kCheckpointSeconds = 60;

// Where the result goes: a hidden temporary directory next to the final
// one, renamed into place only when the backup is good.
std::string MakeWorkDir(const BackupOptions& options, std::string* finalDir) {
  if (options.toStdout) return MakeScratchDir("xbagent-backup");
  *finalDir = AbsolutePath(options.outputDir);
  if (PathExists(*finalDir)) {
    if (!IsDirectory(*finalDir)) Fail("output " + *finalDir + " exists and is not a directory");
    if (!IsEmptyDirectory(*finalDir)) {
      Fail("output directory " + *finalDir + " already exists and is not empty");
    }
  }
  std::string workDir = JoinPath(DirName(*finalDir), "." + BaseName(*finalDir) + ".partial-" +
                                                         std::to_string(::getpid()));
  if (::mkdir(workDir.c_str(), 0700) != 0) {
    Fail("cannot create the output directory in " + DirName(*finalDir) + ": " + ErrnoText(errno));
  }
  return workDir;
}

// The stream file, new (a retry starts it afresh); 1 for standard output.
int OpenStreamFile(const BackupOptions& options, const std::string& workDir) {
  if (options.toStdout) return 1;
  std::string path = JoinPath(workDir, kStreamFile);
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    Fail("cannot remove " + path + ": " + ErrnoText(errno));
  }
  // Readable too: when the tool writes the file itself, the relay reads it behind the tool.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot create " + path + ": " + ErrnoText(errno));
  return fd;
}

// One run of the tool into a fresh stream; the outcome is not judged yet.
std::unique_ptr<StreamOutcome> StreamOnce(XtraBackup::XtraBackupUtil& util,
                                          LibMySqlProcess::MySqlChildProcess& child,
                                          const ServerFacts& facts, const BackupOptions& options,
                                          const std::string& workDir) {
  std::unique_ptr<StreamOutcome> outcome(new StreamOutcome);
  int fd = OpenStreamFile(options, workDir);
  outcome->destination = options.toStdout ? "standard output" : JoinPath(workDir, kStreamFile);
  try {
    StreamBackup(util, child, facts.databaseOnDisk, options, JoinPath(workDir, kCheckpointsDir),
                 fd, outcome.get());
  } catch (...) {
    if (fd != 1) ::close(fd);
    throw;
  }
  if (fd != 1 && ::close(fd) != 0 && outcome->closeErrno == 0) outcome->closeErrno = errno;
  return outcome;
}

bool TablespaceExists(SqlConnection& sql, const std::string& space) {
  return sql.Scalar("SELECT COUNT(*) FROM information_schema.INNODB_SYS_TABLESPACES "
                    "WHERE CAST(NAME AS BINARY) = " + SqlBytes(space)) != "0";
}

// The tool left out tables imported since InnoDB's last checkpoint: make
// it write one, or fail saying why a retry cannot help.
void RecoverFromCheckpointTrap(const BackupOptions& options, const StreamOutcome& outcome) {
  const std::string why = "the tool left out " +
                          std::to_string(outcome.toolErrors.DroppedTableLines()) +
                          " table(s) that exist on the server (" +
                          outcome.toolErrors.DroppedTablespaces()[0] +
                          "): InnoDB has written no checkpoint since they were imported";
  SqlConnection sql(options.defaultsFile, options.socket, options.user);
  for (const std::string& space : outcome.toolErrors.DroppedTablespaces()) {
    if (!TablespaceExists(sql, space)) {
      Fail("the backup is incomplete: the tool left out " + space +
           ", which was dropped during the backup");
    }
  }
  Log().Notice("xbagent: " + why + "; making InnoDB write a checkpoint");
  bool written = WriteInnodbCheckpoint(sql, kCheckpointSeconds);
  if (!written) {
    Fail(why + ", and it wrote none within " + std::to_string(int(kCheckpointSeconds)) +
         " s; the backup is incomplete");
  }
  if (options.toStdout) {
    Fail(why + "; a checkpoint is written now, but the stream already went to standard "
               "output: run the backup again");
  }
  Log().Notice("xbagent: checkpoint written; retrying the backup once");
}

// The stream, judged good; after the checkpoint trap, once more.
std::unique_ptr<StreamOutcome> StreamAndJudge(XtraBackup::XtraBackupUtil& util,
                                              LibMySqlProcess::MySqlChildProcess& child,
                                              const ServerFacts& facts,
                                              const BackupOptions& options,
                                              const std::string& workDir,
                                              std::vector<std::string>* notes) {
  std::unique_ptr<StreamOutcome> outcome = StreamOnce(util, child, facts, options, workDir);
  if (JudgeStream(facts, options, *outcome) == Verdict::kGood) return outcome;
  RecoverFromCheckpointTrap(options, *outcome);
  notes->push_back("retried after making InnoDB write a checkpoint: the first run left out " +
                   outcome->toolErrors.DroppedTablespaces()[0]);
  outcome = StreamOnce(util, child, facts, options, workDir);
  if (JudgeStream(facts, options, *outcome) != Verdict::kGood) {
    Fail("the backup is incomplete even after an InnoDB checkpoint: the tool left out " +
         std::to_string(outcome->toolErrors.DroppedTableLines()) +
         " table(s): " + outcome->toolErrors.DroppedTableLine());
  }
  return outcome;
}

// The version the tool printed as it started the backup; asked of it
// apart only when it printed none.
std::string ToolVersionOrUnknown(const ToolOutput& toolErrors, const std::string& toolDir) {
  if (!toolErrors.VersionLine().empty()) return ToolVersionOfLine(toolErrors.VersionLine());
  try {
    return ToolVersion(toolDir);
  } catch (const Failure& failure) {
    Log().Notice(std::string("xbagent: the tool's version is not known: ") + failure.what());
    return "unknown";
  }
}

void CheckSchemaUnchanged(const BackupOptions& options, const std::string& before,
                          const std::string& after) {
  std::string object = SchemaDifference(before, after);
  if (object.empty()) return;
  Fail("the schema of database '" + options.database + "' changed during the backup (" + object +
       "); its schema and its tablespaces may disagree, so the backup was discarded: run it "
       "again when no DDL runs");
}

// What --json prints: the backup as its manifest now describes it.
void PrintBackupJson(const std::string& directory, const ManifestContent& content) {
  const ManifestSummary written = LoadManifest(directory);
  Json out = {{"directory", directory},
              {"kind", written.kind},
              {"database", content.oneDatabase ? Json(content.database) : Json()},
              {"size", written.streamSize},
              {"sha256", written.streamSha256},
              {"tables", content.tables.size()},
              {"duration_seconds", content.durationSeconds},
              {"binlog", Member(written.document, "binlog")}};
  std::fputs(JsonText(out).c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int RunBackup(const ArgList& argv) {
  BackupOptions options = ParseBackupOptions(argv);
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

  ToolDir tools(options.toolDir);

  ServerFacts facts;
  {
    SqlConnection sql(options.defaultsFile, options.socket, options.user);
    PutBackAbandonedFlushing(sql, false);
    FinishAbandonedRestores(sql);
    facts = CheckServer(sql, options);
  }
  CheckPlaces(options, facts);
  const std::string datadir = options.datadir.empty() ? facts.datadir : options.datadir;
  RunLock lock("backup\n" + StripTrailingSlashes(datadir),
               "backups of the server with data directory " + datadir);

  std::string finalDir;
  PathGuard workGuard(MakeWorkDir(options, &finalDir));
  const std::string workDir = workGuard.path();
  Log().Detail(Verbosity::kVerbose, "server " + facts.version + ", datadir " + facts.datadir +
                                        ", " + std::to_string(facts.tables.size()) + " tables");

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

  // The schema is dumped before and after the stream.
  const bool keepSchema = options.oneDatabase;
  std::string schema = keepSchema ? DumpSchema(util, options) : std::string();

  Log().Notice("xbagent: backing up " + what + " (" + facts.version + ")");
  std::vector<std::string> notes;
  std::unique_ptr<StreamOutcome> outcome =
      StreamAndJudge(util, child, facts, options, workDir, &notes);
  if (keepSchema) {
    std::string after = DumpSchema(util, options);
    CheckSchemaUnchanged(options, schema, after);
    schema = after;
  }

  ManifestContent manifest = WriteManifest(facts, options, *outcome, schema);
  manifest.toolVersion = ToolVersionOrUnknown(outcome->toolErrors, tools.path());
  Log().Detail(Verbosity::kVerbose, "tool " + manifest.toolVersion);
  LibraryVersion(&manifest.libraryFile, &manifest.libraryVersion);
  manifest.startedAt = startedAt;
  manifest.durationSeconds = MonotonicSeconds() - started;
  manifest.notes = notes;
  PublishBackup(options, manifest, workDir, finalDir);
  if (!options.toStdout) workGuard.Release();

  std::string summary = what + ": " + std::to_string(facts.tables.size()) + " tables, " +
                        HumanBytes(outcome->relay.bytes) + " in " +
                        HumanSeconds(manifest.durationSeconds);
  Log().Notice("xbagent: backup complete, " + summary + " -> " +
               (options.toStdout ? std::string("standard output") : finalDir));
  if (options.json) PrintBackupJson(finalDir, manifest);
  return kExitOk;
}

}  // namespace xbagent
