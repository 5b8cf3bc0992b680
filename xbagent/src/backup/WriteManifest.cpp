// xbagent backup, manifest phase: what a judged backup holds, for
// manifest.json (Manifest.cpp writes the text).

#include <string>

#include "../Common.h"
#include "BackupPhases.h"

namespace xbagent {

ManifestContent WriteManifest(const ServerFacts& facts, const BackupOptions& options,
                              const StreamOutcome& outcome, const std::string& schema) {
  ManifestContent content;
  content.oneDatabase = options.oneDatabase;
  content.database = options.database;
  content.databaseOnDisk = facts.databaseOnDisk;
  content.serverVersion = facts.version;
  content.hostname = facts.hostname;
  content.datadir = options.datadir.empty() ? facts.datadir : options.datadir;
  content.logBin = facts.logBin;
  content.parallel = options.parallel;
  content.finishedAt = UtcTimestamp();
  content.streamFile = options.toStdout ? std::string() : std::string(kStreamFile);
  content.encoding = options.encoding;
  if (options.encoding.Plain()) {
    content.streamSize = outcome.relay.bytes;
    content.streamSha256 = outcome.relay.sha256;
  } else {
    // size and sha256 are of what is stored; raw_* of the tool's stream.
    content.streamSize = outcome.encoded.bytes;
    content.streamSha256 = outcome.encoded.sha256;
    content.rawSize = outcome.relay.bytes;
    content.rawSha256 = outcome.relay.sha256;
  }
  content.streamFiles = outcome.scanner.Files().size();
  content.hasSchema = options.oneDatabase;
  content.schemaFile = options.toStdout ? options.schemaFile : std::string(kSchemaFile);
  content.schemaText = schema;
  content.binlogInfo = outcome.scanner.Captured(kBinlogInfoFile);
  content.checkpoints = outcome.scanner.Captured(kCheckpointsFile);
  content.tables = facts.tables;
  content.unsupportedTables = facts.unsupported;
  return content;
}

}  // namespace xbagent
