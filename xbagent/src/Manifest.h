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

#include "Json.h"

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
  JsonValue document;
  std::string kind;       // "server" or "database"
  std::string database;   // for "database"
  std::string streamFile;
  uint64_t streamSize = 0;
  std::string streamSha256;
  std::string serverVersion;
};

// Reads DIR/manifest.json; throws Failure naming what is missing or wrong.
ManifestSummary LoadManifest(const std::string& backupDir);

}  // namespace xbagent
