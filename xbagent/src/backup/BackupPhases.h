#pragma once

// The phases of `xbagent backup`, in the order RunBackup calls them:
//
//   ParseBackupOptions   the command line
//   CheckServer          the server answers; what it holds; engines and names
//   TakeSchema           schema.sql (one database), dumped before and after the stream
//   StreamBackup         the tool's stream into a file or standard output
//   JudgeStream          the stream is complete, or why not
//   WriteManifest        manifest.json's content
//   PublishBackup        the side files written, the backup directory renamed into place

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>

#include "../Commands.h"
#include "../Manifest.h"
#include "../Relay.h"
#include "../Sha256.h"
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
// The data directory: --datadir, when given, is the server's; this user can
// read it; the output directory lies outside it.
void CheckPlaces(const BackupOptions& options, const ServerFacts& facts);

// The schema dump command of one database (mariadb-dump).
std::string SchemaCommand(const BackupOptions& options);
// Runs the schema dump; throws Failure with the dump tool's reason.
std::string DumpSchema(XtraBackup::XtraBackupUtil& util, const BackupOptions& options);
// The first table (or other object) whose definition differs between two
// dumps, ignoring AUTO_INCREMENT counters; "" when they agree.
std::string SchemaDifference(const std::string& before, const std::string& after);

// What the encoding wrote.
struct EncodedStream {
  uint64_t bytes = 0;
  std::string sha256;
  std::string error;  // "" when it succeeded
};

// The encoding of a stream on its way out: the relay's worker hands the
// tool's stream to Write, which compresses and encrypts it (StreamCodec),
// hashes what comes out and writes that to outFd. Finish, after the relay,
// ends the encoded stream.
class EncodingSink {
 public:
  // Throws Failure when the encoder cannot be set up.
  EncodingSink(int outFd, const StreamEncoding& encoding, const std::string& key);
  ~EncodingSink();
  EncodingSink(const EncodingSink&) = delete;
  EncodingSink& operator=(const EncodingSink&) = delete;
  // False once encoding or writing failed (the reason is in Finish's error).
  bool Write(const char* data, size_t length);
  EncodedStream Finish();

 private:
  bool Written(const char* data, size_t length);
  int outFd_;
  std::unique_ptr<Sha256> hash_;
  std::unique_ptr<StreamEncoder> encoder_;
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

// manifest.json's content for a finished, judged backup.
ManifestContent WriteManifest(const ServerFacts& facts, const BackupOptions& options,
                              const StreamOutcome& outcome, const std::string& schema);

// Writes the schema and manifest files (and, with --output-dir, renames
// workDir to finalDir). The caller releases its guard of workDir after.
void PublishBackup(const BackupOptions& options, const ManifestContent& manifest,
                   const std::string& workDir, const std::string& finalDir);

}  // namespace xbagent
