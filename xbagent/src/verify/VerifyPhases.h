#pragma once

// xbagent verify: restores a backup for real on a throwaway server and checks
// every table. The phases, one per file:
//
//   VerifyOptions.cpp   the command line
//   CompareTables.cpp   pure logic: versions, CHECK TABLE rows, the table list
//                       against the manifest, the verdict, verify.json
//   ChildProcess.cpp    running a program without a shell, waiting with a bound
//   ScratchServer.cpp   the throwaway server: settings, start, stop
//   PrepareCopy.cpp     whole server: check, extract and prepare the stream
//   ImportDatabase.cpp  one database: import it into a fresh scratch server
//   CheckTables.cpp     CHECK TABLE on every table, compared with the manifest
//   ReportVerify.cpp    the lines per table, the verdict, verify.json
//   RunVerify.cpp       the order of the phases and the cleanup

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "../Commands.h"
#include "../JsonDoc.h"
#include "../Manifest.h"

namespace xbagent {

constexpr const char* kVerifyFile = "verify.json";
constexpr const char* kVerifyFormat = "xbagent-verify";

struct VerifyOptions {
  std::string backupDir;
  std::string toolDir;
  std::string scratchParent;  // "" = $TMPDIR or /tmp
  bool json = false;
  std::string keyFile;  // --encrypt-key-file
};

VerifyOptions ParseVerifyOptions(const ArgList& argv);

// ---- pure logic (CompareTables.cpp) ----

// One table's outcome.
struct TableCheck {
  std::string database;
  std::string name;
  std::string engine;    // as restored ("" when missing)
  std::string result;    // "OK", "CORRUPT", "MISSING", "ENGINE", "EXTRA", "SKIPPED"
  std::string message;   // the server's words, or why
};

struct VerifyReport {
  std::string kind;        // "server" or "database"
  std::string database;    // one-database backups
  std::string verifiedAt;  // UTC
  double durationSeconds = 0;
  std::string serverVersion;  // of the throwaway server
  std::string reason;      // why the verify failed before or besides the tables
  std::vector<TableCheck> tables;
  bool Ok() const;
};

// "10.11.6" from "10.11.6-MariaDB-0+deb12u1-log" or from
// "mariadbd  Ver 10.11.6-MariaDB ..."; "" when there is none.
std::string VersionNumber(const std::string& text);

// The rows of CHECK TABLE (Table, Op, Msg_type, Msg_text) as a result and a
// message: "OK" when the last status row says OK, else "CORRUPT" with the
// error texts.
void JudgeCheckRows(const std::vector<std::vector<std::string>>& rows, std::string* result,
                    std::string* message);

// A table found on the throwaway server.
struct FoundTable {
  std::string database;
  std::string name;
  std::string engine;
};

// Merges the manifest's tables with those found: a table the manifest lists
// but the server lacks is MISSING (SKIPPED when the manifest says its engine
// cannot be restored), one with another engine is ENGINE, one the manifest
// does not list is EXTRA. Tables found and matching come back with an empty
// result, for CHECK TABLE to fill. Sorted by database and name.
std::vector<TableCheck> CompareWithManifest(const std::vector<ManifestTable>& manifest,
                                            const std::vector<ManifestTable>& unsupported,
                                            const std::vector<FoundTable>& found);

// The tables and unsupported tables a manifest lists.
void ManifestTables(const Json& manifest, std::vector<ManifestTable>* tables,
                    std::vector<ManifestTable>* unsupported);

// The text of verify.json.
std::string VerifyJsonText(const VerifyReport& report);

// The [mysqld] settings of the backup's backup-my.cnf that a server on the
// copy must share (page size, system tablespace, undo tablespaces), as
// "name=value" lines.
std::string InnodbSettingsFrom(const std::string& backupMyCnf);

// ---- processes (ChildProcess.cpp) ----

// Starts program with argv (no shell), standard input from /dev/null and
// standard output and error appended to outputFile; in a session of its own
// when detach, so a terminal's Ctrl-C reaches only xbagent. Throws on failure.
pid_t StartChild(const std::vector<std::string>& argv, const std::string& outputFile, bool detach);
// Waits for pid; when timeoutSeconds pass, or a stop is requested, sends
// SIGTERM (then SIGKILL after 10 s). Returns the exit status (128+signal when
// killed by one, -1 when it was stopped by us).
int WaitChild(pid_t pid, double timeoutSeconds);
// True (and the status stored) when pid has exited.
bool ChildExited(pid_t pid, int* status);
// The last lines of a file that contain marker (or the last lines at all),
// for error messages.
std::string TailLines(const std::string& path, const std::string& marker, size_t lines);

// ---- the throwaway server (ScratchServer.cpp) ----

// Refuses (Failure) when the local server program's version differs from
// the backup's.
void CheckServerVersion(const std::string& backupVersion);
// Run as root, the throwaway server runs as user mysql: it must be able to
// enter the directory the scratch directory is made in. Throws Failure
// naming the directory it cannot enter.
void CheckScratchReachable(const std::string& parent);

class ScratchServer {
 public:
  // dir: the private scratch directory; the data directory is dir/data
  // unless dataDir is given.
  explicit ScratchServer(std::string dir, const std::string& dataDir = "");
  ~ScratchServer();  // stops the server if it runs
  ScratchServer(const ScratchServer&) = delete;
  ScratchServer& operator=(const ScratchServer&) = delete;

  const std::string& dataDir() const { return dataDir_; }
  const std::string& socket() const { return socket_; }
  const std::string& defaultsFile() const { return cnf_; }

  // Writes the settings file; extra [mysqld] lines are appended.
  void WriteSettings(const std::string& extra);
  // A fresh empty server (mariadb-install-db).
  void Initialise();
  // Starts the server on dataDir and waits until it answers. skipGrants for
  // a copy of a whole server, whose accounts are not ours.
  void Start(bool skipGrants);
  // Stops it (SIGTERM, SIGKILL after a bound); returns false when it had to
  // be killed or had died.
  bool Stop();
  // The end of the server's error log, for a failure message.
  std::string ErrorLogTail() const;
  // Gives the scratch tree to the server's user when running as root.
  void GiveToServerUser(const std::string& path) const;

 private:
  std::string dir_;
  std::string dataDir_;
  std::string socket_;
  std::string cnf_;
  std::string errorLog_;
  std::string mariadbd_;
  pid_t pid_ = -1;
};

// ---- the phases ----

// Whole server: checks the stream against the manifest, extracts it into
// server.dataDir(), drops .isl files, prepares it.
void PrepareServerCopy(const VerifyOptions& options, const ManifestSummary& manifest,
                       ScratchServer& server);
// One database: a fresh server, the database restored into it through
// 'xbagent restore --database' (stream check, schema, import).
void ImportDatabaseCopy(const VerifyOptions& options, const ManifestSummary& manifest,
                        ScratchServer& server, const std::string& scratch);
// CHECK TABLE on every table of the running server (of the one database for a
// one-database backup), compared with the manifest.
std::vector<TableCheck> CheckAllTables(ScratchServer& server, const ManifestSummary& manifest);
// Prints the lines and the verdict (or the JSON), writes verify.json.
void ReportVerify(const VerifyOptions& options, const VerifyReport& report);

}  // namespace xbagent
