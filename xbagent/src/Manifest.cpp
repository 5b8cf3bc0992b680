#include "Manifest.h"

#include <cerrno>

#include <unistd.h>

#include "Common.h"
#include "Fs.h"
#include "Sha256.h"

namespace xbagent {

namespace {

Json ParseKeyValues(const std::string& text) {
  Json object = Json::object();
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
      if (ParseUnsigned(value, &number)) {
        object[key] = number;
      } else {
        object[key] = value;
      }
    }
    start = end + 1;
  }
  return object;
}

// "mysql-bin.000001\t1309459\t0-1-21\n" (MariaDB) or "file\tpos[\tgtid]".
Json ParseBinlogInfo(const std::string& text) {
  std::vector<std::string> fields;
  size_t start = 0;
  std::string line = text.substr(0, text.find('\n'));
  while (start <= line.size()) {
    size_t tab = line.find('\t', start);
    if (tab == std::string::npos) tab = line.size();
    fields.push_back(line.substr(start, tab - start));
    start = tab + 1;
  }
  Json binlog = Json::object();
  uint64_t position = 0;
  if (fields.size() < 2 || fields[0].empty() || !ParseUnsigned(Trim(fields[1]), &position)) {
    return nullptr;
  }
  binlog["file"] = fields[0];
  binlog["position"] = position;
  // The GTID part is everything after the second TAB (it may span lines).
  std::string gtid;
  size_t firstTab = text.find('\t');
  size_t secondTab = firstTab == std::string::npos ? firstTab : text.find('\t', firstTab + 1);
  if (secondTab != std::string::npos) gtid = Trim(text.substr(secondTab + 1));
  binlog["gtid"] = gtid.empty() ? Json() : Json(gtid);
  return binlog;
}

Json OptionalString(bool present, const std::string& value) {
  return present ? Json(value) : Json();
}

Json TableEntry(const ManifestTable& info, bool full) {
  Json entry = Json::object();
  entry["database"] = info.database;
  entry["name"] = info.name;
  if (full) entry["on_disk"] = info.onDisk;
  entry["engine"] = info.engine;
  if (!full) return entry;
  entry["partitioned"] = info.partitioned;
  entry["fulltext"] = info.fulltext;
  return entry;
}

void SetStreamAndSchema(Json& manifest, const ManifestContent& content) {
  Json stream = Json::object();
  stream["file"] = OptionalString(!content.streamFile.empty(), content.streamFile);
  stream["format"] = "xbstream";
  stream["size"] = content.streamSize;
  stream["sha256"] = content.streamSha256;
  stream["files"] = content.streamFiles;
  if (!content.encoding.Plain()) {
    stream["compression"] = content.encoding.zstd ? Json("zstd") : Json();
    stream["compression_level"] = content.encoding.zstd ? Json(content.encoding.zstdLevel) : Json();
    stream["encryption"] = content.encoding.encrypted ? Json("aes-256-gcm") : Json();
    stream["raw_size"] = content.rawSize;
    stream["raw_sha256"] = content.rawSha256;
  }
  manifest["stream"] = std::move(stream);
  if (!content.hasSchema) {
    manifest["schema"] = nullptr;
    return;
  }
  manifest["schema"] = {{"file", content.schemaFile},
                        {"size", content.schemaText.size()},
                        {"sha256", Sha256OfText(content.schemaText)}};
}

// The stream's compression and encryption (absent: a plain stream).
void ReadEncoding(const Json& stream, const std::string& path, ManifestSummary* summary) {
  std::string compression;
  std::string encryption;
  if (!Member(stream, "compression").is_null()) {
    if (!GetString(Member(stream, "compression"), &compression) || compression != "zstd") {
      Fail(path + " names a stream compression this xbagent cannot read");
    }
    uint64_t level = kDefaultZstdLevel;
    GetUnsigned(Member(stream, "compression_level"), &level);
    summary->encoding.zstd = true;
    summary->encoding.zstdLevel = static_cast<int>(level);
  }
  if (!Member(stream, "encryption").is_null()) {
    if (!GetString(Member(stream, "encryption"), &encryption) || encryption != "aes-256-gcm") {
      Fail(path + " names a stream encryption this xbagent cannot read");
    }
    summary->encoding.encrypted = true;
  }
  if (summary->encoding.Plain()) return;
  if (!GetUnsigned(Member(stream, "raw_size"), &summary->rawSize) ||
      !GetString(Member(stream, "raw_sha256"), &summary->rawSha256) || summary->rawSha256.size() != 64) {
    Fail(path + " has no raw_size and raw_sha256 for its encoded stream");
  }
}

}  // namespace

std::string ManifestText(const ManifestContent& content) {
  Json manifest = Json::object();
  manifest["format"] = kManifestFormat;
  manifest["format_version"] = kManifestVersion;
  manifest["kind"] = content.oneDatabase ? "database" : "server";
  manifest["database"] = OptionalString(content.oneDatabase, content.database);
  manifest["database_on_disk"] = OptionalString(content.oneDatabase, content.databaseOnDisk);
  manifest["server"] = {{"version", content.serverVersion},
                        {"hostname", content.hostname},
                        {"datadir", content.datadir},
                        {"log_bin", content.logBin}};
  manifest["tool"] = {{"version", content.toolVersion}, {"parallel", content.parallel}};
  manifest["library"] = {{"file", content.libraryFile}, {"version", content.libraryVersion}};
  manifest["started_at"] = content.startedAt;
  manifest["finished_at"] = content.finishedAt;
  manifest["duration_seconds"] = content.durationSeconds;
  SetStreamAndSchema(manifest, content);
  manifest["binlog"] = content.binlogInfo ? ParseBinlogInfo(*content.binlogInfo) : Json();
  manifest["checkpoints"] = content.checkpoints ? ParseKeyValues(*content.checkpoints) : Json();
  Json tables = Json::array();
  for (const ManifestTable& info : content.tables) tables.push_back(TableEntry(info, true));
  manifest["tables"] = std::move(tables);
  Json unsupported = Json::array();
  for (const ManifestTable& info : content.unsupportedTables) {
    unsupported.push_back(TableEntry(info, false));
  }
  manifest["unsupported_tables"] = std::move(unsupported);
  manifest["notes"] = content.notes;
  return JsonText(manifest);
}

ManifestSummary LoadManifest(const std::string& backupDir) {
  std::string path = JoinPath(backupDir, kManifestFile);
  if (::access(backupDir.c_str(), R_OK | X_OK) != 0 && errno == EACCES) {
    Fail("permission denied: cannot read the backup directory " + backupDir);
  }
  if (!PathExists(path)) {
    Fail(backupDir + " is not a backup directory (no " + kManifestFile + ")");
  }
  return LoadManifestFile(path);
}

ManifestSummary LoadManifestFile(const std::string& path) {
  if (!PathExists(path)) Fail("the manifest " + path + " does not exist");
  if (::access(path.c_str(), R_OK) != 0 && errno == EACCES) {
    Fail("permission denied: cannot read " + path);
  }
  ManifestSummary summary;
  summary.document = ParseJson(ReadSmallFile(path, 256u << 20), path);
  const Json& doc = summary.document;
  std::string format;
  if (!GetString(Member(doc, "format"), &format) || format != kManifestFormat) {
    Fail(path + " is not an xbagent manifest");
  }
  uint64_t version = 0;
  if (!GetUnsigned(Member(doc, "format_version"), &version) || version != kManifestVersion) {
    Fail(path + " has an unsupported format_version");
  }
  if (!GetString(Member(doc, "kind"), &summary.kind) ||
      (summary.kind != "server" && summary.kind != "database")) {
    Fail(path + " has no valid \"kind\"");
  }
  if (summary.kind == "database" && !GetString(Member(doc, "database"), &summary.database)) {
    Fail(path + " names no database");
  }
  if (summary.kind == "database") GetString(Member(doc, "database_on_disk"), &summary.databaseOnDisk);
  const Json& stream = Member(doc, "stream");
  // A stream sent to standard output has no file name in its manifest; put
  // next to the manifest it goes by the usual name.
  if (Member(stream, "file").is_null()) summary.streamFile = kStreamFile;
  if ((!Member(stream, "file").is_null() && !GetString(Member(stream, "file"), &summary.streamFile)) ||
      summary.streamFile.empty() || summary.streamFile.find('/') != std::string::npos) {
    Fail(path + " names no stream file");
  }
  if (!GetUnsigned(Member(stream, "size"), &summary.streamSize)) Fail(path + " has no stream size");
  if (!GetString(Member(stream, "sha256"), &summary.streamSha256) || summary.streamSha256.size() != 64) {
    Fail(path + " has no stream SHA-256");
  }
  GetString(Member(Member(doc, "server"), "version"), &summary.serverVersion);
  ReadEncoding(stream, path, &summary);
  return summary;
}

}  // namespace xbagent
