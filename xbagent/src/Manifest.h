#pragma once

// The backup directory and its manifest.
//
//   backup.xbstream          the tool's stream, as it came
//   manifest.json            what the backup holds, with the stream's size and SHA-256
//   schema.sql               one-database backups: the database's schema (mariadb-dump)
//   xtrabackup_binlog_info   the binary-log coordinates from the stream (when logging was on)
//   checkpoints/             the tool's xtrabackup_checkpoints and xtrabackup_info

#include <cstdint>
#include <string>
#include <vector>

#include "JsonDoc.h"
#include "StreamCodec.h"

namespace xbagent {

constexpr const char* kStreamFile = "backup.xbstream";
constexpr const char* kManifestFile = "manifest.json";
constexpr const char* kSchemaFile = "schema.sql";
constexpr const char* kCheckpointsDir = "checkpoints";
constexpr const char* kBinlogInfoFile = "xtrabackup_binlog_info";
constexpr const char* kCheckpointsFile = "xtrabackup_checkpoints";
constexpr const char* kManifestFormat = "xbagent-backup";
constexpr int kManifestVersion = 1;

// The fields a restore relies on, read and checked from manifest.json.
struct ManifestSummary {
  Json document;
  std::string kind;       // "server" or "database"
  std::string database;   // for "database"
  std::string databaseOnDisk;  // its directory name; "" when the manifest has none
  std::string streamFile;
  uint64_t streamSize = 0;
  std::string streamSha256;
  std::string serverVersion;
  // How the stored stream is encoded; for an encoded one, streamSize and
  // streamSha256 are of the stored file, rawSize and rawSha256 of the tool's
  // stream inside it.
  StreamEncoding encoding;
  uint64_t rawSize = 0;
  std::string rawSha256;
};

// Reads DIR/manifest.json; throws Failure naming what is missing or wrong.
ManifestSummary LoadManifest(const std::string& backupDir);
// Reads a manifest file kept apart from its stream (backup --output -
// --manifest FILE).
ManifestSummary LoadManifestFile(const std::string& path);

// One table as the backup recorded it.
struct ManifestTable {
  std::string database;
  std::string name;
  std::string onDisk;  // "db/name" as in the stream
  std::string engine;
  bool partitioned = false;
  bool fulltext = false;
};

// Everything a backup writes into manifest.json.
struct ManifestContent {
  bool oneDatabase = false;
  std::string database;        // SQL name, one database only
  std::string databaseOnDisk;  // its directory name, one database only
  std::string serverVersion;
  std::string hostname;
  std::string datadir;
  bool logBin = false;
  std::string toolVersion;
  unsigned long parallel = 1;
  std::string libraryFile;
  std::string libraryVersion;
  std::string startedAt;
  std::string finishedAt;
  double durationSeconds = 0;
  std::string streamFile;  // "" for a stream sent to standard output
  uint64_t streamSize = 0;
  std::string streamSha256;
  uint64_t streamFiles = 0;
  StreamEncoding encoding;  // compression and encryption of the stored stream
  uint64_t rawSize = 0;     // encoded streams: the tool's stream's size and SHA-256
  std::string rawSha256;
  bool hasSchema = false;
  std::string schemaFile;
  std::string schemaText;
  const std::string* binlogInfo = nullptr;   // the stream's xtrabackup_binlog_info
  const std::string* checkpoints = nullptr;  // the stream's xtrabackup_checkpoints
  std::vector<ManifestTable> tables;
  // Tables whose engine the one-database restore cannot bring back
  // ("unsupported_tables": database, name, engine).
  std::vector<ManifestTable> unsupportedTables;
  // Notes on how the backup went ("notes"), e.g. a retry and its reason.
  std::vector<std::string> notes;
};

// The manifest.json text of a backup.
std::string ManifestText(const ManifestContent& content);

}  // namespace xbagent
