#pragma once

// The phases of `xbagent backup`, in the order RunBackup calls them:
//
//   ParseBackupOptions   the command line
//   CheckServer          the server answers; what it holds; engines and names
//   TakeSchema           schema.sql (one database), dumped before and after the stream
//   StreamBackup         the tool's stream into a file or standard output
//   JudgeStream          the stream is complete, or why not
//   ForceCheckpoint      makes InnoDB write a checkpoint (for the one retry)
//   WriteManifest        manifest.json's content
//   PublishBackup        the side files written, the backup directory renamed into place

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>

#include "../Commands.h"
#include "../Manifest.h"
#include "../Relay.h"
#include "../Sql.h"
#include "../StreamCodec.h"
#include "../ToolOutput.h"
#include "../XbStream.h"

namespace xbagent {

struct BackupOptions {
  std::string defaultsFile;
  bool oneDatabase = false;
  std::string database;
  std::string outputDir;  // empty with --output -
  bool toStdout = false;
  bool json = false;  // --json: what was written, as one JSON object on stdout
  std::string manifestFile;
  std::string schemaFile;
  std::string toolDir;
  std::string user;
  std::string datadir;
  std::string socket;
  unsigned long parallel = 1;
  StreamEncoding encoding;  // --compress, --encrypt-key-file
  std::string key;          // the encryption key (32 bytes), when encrypting
};

struct ServerFacts {
  std::string version;
  std::string user;
  std::string datadir;
  std::string hostname;
  bool logBin = false;
  std::string databaseOnDisk;  // one database: the directory the server uses
  std::vector<ManifestTable> tables;
  std::vector<ManifestTable> unsupported;  // engines the one-database restore cannot handle
  bool tablespacesKnown = false;
  std::vector<std::string> tablespaces;  // InnoDB file-per-table spaces, "db/name" on disk
};

BackupOptions ParseBackupOptions(const ArgList& argv);

// The name of a database or table as a directory or file name: a
// "#mysql50#name" lives in "name" unchanged, anything else is encoded.
// Throws Failure for a "#mysql50#" name no directory can carry.
std::string OnDiskName(XtraBackup::XtraBackupUtil& util, const std::string& name);

// Facts about the server and the tables the backup is expected to hold;
// warns about tables the one-database restore cannot bring back.
ServerFacts CheckServer(SqlConnection& sql, const BackupOptions& options);

// The schema dump command of one database (mariadb-dump).
std::string SchemaCommand(const BackupOptions& options);
// Runs the schema dump; throws Failure with the dump tool's reason.
std::string DumpSchema(XtraBackup::XtraBackupUtil& util, const BackupOptions& options);
// The first table (or other object) whose definition differs between two
// dumps, ignoring AUTO_INCREMENT counters; "" when they agree.
std::string SchemaDifference(const std::string& before, const std::string& after);

// What the encoding thread wrote.
struct EncodedStream {
  uint64_t bytes = 0;
  std::string sha256;
  std::string error;  // "" when it succeeded
};

// The encoding of a stream on its way out: Start returns the descriptor the
// relay writes the tool's stream into; a thread encodes it into outFd.
// Finish (after the relay) waits for the thread.
class EncodingPipe {
 public:
  EncodingPipe() = default;
  ~EncodingPipe();
  EncodingPipe(const EncodingPipe&) = delete;
  EncodingPipe& operator=(const EncodingPipe&) = delete;
  int Start(int outFd, const StreamEncoding& encoding, const std::string& key);
  EncodedStream Finish();

 private:
  void Run(int outFd, const StreamEncoding& encoding, const std::string& key);
  int readFd_ = -1;
  int writeFd_ = -1;
  std::thread worker_;
  EncodedStream result_;
};

struct StreamOutcome {
  RelayResult relay;
  EncodedStream encoded;  // bytes 0 when the stream was not encoded
  XbStreamScanner scanner;
  ToolOutput toolErrors{"xtrabackup"};
  long long droppedErrBytes = 0;
  int closeErrno = 0;
  std::string destination;
};

// Runs the tool once and relays its stream into outFd (1 = standard output).
void StreamBackup(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                  const std::string& databaseOnDisk, const BackupOptions& options,
                  const std::string& lsnDir, int outFd, StreamOutcome* outcome);

enum class Verdict { kGood, kCheckpointTrap };

// Throws Failure for a stream that cannot be trusted. kCheckpointTrap: the
// tool left out tables that exist on the server (InnoDB has not written a
// checkpoint since they were imported); a retry after a checkpoint can work.
Verdict JudgeStream(const ServerFacts& facts, const BackupOptions& options,
                    const StreamOutcome& outcome);

// Makes InnoDB write a checkpoint: briefly sets innodb_max_dirty_pages_pct
// to 0, waits (at most timeoutSeconds) until the checkpoint passes the
// current log sequence number, restores the setting. Returns false on timeout.
bool ForceCheckpoint(SqlConnection& sql, double timeoutSeconds);

// manifest.json's content for a finished, judged backup.
ManifestContent WriteManifest(const ServerFacts& facts, const BackupOptions& options,
                              const StreamOutcome& outcome, const std::string& schema);

// Writes the schema and manifest files (and, with --output-dir, renames
// workDir to finalDir). The caller releases its guard of workDir after.
void PublishBackup(const BackupOptions& options, const ManifestContent& manifest,
                   const std::string& workDir, const std::string& finalDir);

}  // namespace xbagent
