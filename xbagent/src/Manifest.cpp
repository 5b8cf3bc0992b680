#include "Manifest.h"

#include "Common.h"
#include "Fs.h"

namespace xbagent {

ManifestSummary LoadManifest(const std::string& backupDir) {
  std::string path = JoinPath(backupDir, kManifestFile);
  if (!PathExists(path)) {
    Fail(backupDir + " is not a backup directory (no " + kManifestFile + ")");
  }
  ManifestSummary summary;
  summary.document = JsonValue::Parse(ReadSmallFile(path, 256u << 20), path);
  const JsonValue& doc = summary.document;
  std::string format;
  if (!doc["format"].GetString(&format) || format != kManifestFormat) {
    Fail(path + " is not an xbagent manifest");
  }
  uint64_t version = 0;
  if (!doc["format_version"].GetUnsigned(&version) || version != kManifestVersion) {
    Fail(path + " has an unsupported format_version");
  }
  if (!doc["kind"].GetString(&summary.kind) ||
      (summary.kind != "server" && summary.kind != "database")) {
    Fail(path + " has no valid \"kind\"");
  }
  if (summary.kind == "database" && !doc["database"].GetString(&summary.database)) {
    Fail(path + " names no database");
  }
  const JsonValue& stream = doc["stream"];
  // A stream sent to standard output has no file name in its manifest; put
  // next to the manifest it goes by the usual name.
  if (stream["file"].IsNull()) summary.streamFile = kStreamFile;
  if ((!stream["file"].IsNull() && !stream["file"].GetString(&summary.streamFile)) ||
      summary.streamFile.empty() || summary.streamFile.find('/') != std::string::npos) {
    Fail(path + " names no stream file");
  }
  if (!stream["size"].GetUnsigned(&summary.streamSize)) Fail(path + " has no stream size");
  if (!stream["sha256"].GetString(&summary.streamSha256) || summary.streamSha256.size() != 64) {
    Fail(path + " has no stream SHA-256");
  }
  doc["server"]["version"].GetString(&summary.serverVersion);
  return summary;
}

}  // namespace xbagent
