#include "Manifest.h"

#include "Common.h"
#include "Fs.h"
#include "Sha256.h"

namespace xbagent {

namespace {

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

JsonValue OptionalString(bool present, const std::string& value) {
  return present ? JsonValue::String(value) : JsonValue::Null();
}

JsonValue TableEntry(const ManifestTable& info, bool full) {
  JsonValue entry = JsonValue::Object();
  entry.Set("database", JsonValue::String(info.database));
  entry.Set("name", JsonValue::String(info.name));
  if (full) entry.Set("on_disk", JsonValue::String(info.onDisk));
  entry.Set("engine", JsonValue::String(info.engine));
  if (!full) return entry;
  entry.Set("partitioned", JsonValue::Bool(info.partitioned));
  entry.Set("fulltext", JsonValue::Bool(info.fulltext));
  return entry;
}

void SetStreamAndSchema(JsonValue& manifest, const ManifestContent& content) {
  JsonValue& stream = manifest.Set("stream", JsonValue::Object());
  stream.Set("file", OptionalString(!content.streamFile.empty(), content.streamFile));
  stream.Set("format", JsonValue::String("xbstream"));
  stream.Set("size", JsonValue::Number(content.streamSize));
  stream.Set("sha256", JsonValue::String(content.streamSha256));
  stream.Set("files", JsonValue::Number(content.streamFiles));
  if (!content.encoding.Plain()) {
    stream.Set("compression", content.encoding.zstd ? JsonValue::String("zstd") : JsonValue::Null());
    stream.Set("compression_level", content.encoding.zstd
                                        ? JsonValue::Number(static_cast<uint64_t>(content.encoding.zstdLevel))
                                        : JsonValue::Null());
    stream.Set("encryption", content.encoding.encrypted ? JsonValue::String("aes-256-gcm")
                                                        : JsonValue::Null());
    stream.Set("raw_size", JsonValue::Number(content.rawSize));
    stream.Set("raw_sha256", JsonValue::String(content.rawSha256));
  }
  if (!content.hasSchema) {
    manifest.Set("schema", JsonValue::Null());
    return;
  }
  JsonValue& schema = manifest.Set("schema", JsonValue::Object());
  schema.Set("file", JsonValue::String(content.schemaFile));
  schema.Set("size", JsonValue::Number(content.schemaText.size()));
  schema.Set("sha256", JsonValue::String(Sha256OfText(content.schemaText)));
}

// The stream's compression and encryption (absent: a plain stream).
void ReadEncoding(const JsonValue& stream, const std::string& path, ManifestSummary* summary) {
  std::string compression;
  std::string encryption;
  if (!stream["compression"].IsNull()) {
    if (!stream["compression"].GetString(&compression) || compression != "zstd") {
      Fail(path + " names a stream compression this xbagent cannot read");
    }
    uint64_t level = kDefaultZstdLevel;
    stream["compression_level"].GetUnsigned(&level);
    summary->encoding.zstd = true;
    summary->encoding.zstdLevel = static_cast<int>(level);
  }
  if (!stream["encryption"].IsNull()) {
    if (!stream["encryption"].GetString(&encryption) || encryption != "aes-256-gcm") {
      Fail(path + " names a stream encryption this xbagent cannot read");
    }
    summary->encoding.encrypted = true;
  }
  if (summary->encoding.Plain()) return;
  if (!stream["raw_size"].GetUnsigned(&summary->rawSize) ||
      !stream["raw_sha256"].GetString(&summary->rawSha256) || summary->rawSha256.size() != 64) {
    Fail(path + " has no raw_size and raw_sha256 for its encoded stream");
  }
}

}  // namespace

std::string ManifestText(const ManifestContent& content) {
  JsonValue manifest = JsonValue::Object();
  manifest.Set("format", JsonValue::String(kManifestFormat));
  manifest.Set("format_version", JsonValue::Number(kManifestVersion));
  manifest.Set("kind", JsonValue::String(content.oneDatabase ? "database" : "server"));
  manifest.Set("database", OptionalString(content.oneDatabase, content.database));
  manifest.Set("database_on_disk", OptionalString(content.oneDatabase, content.databaseOnDisk));
  JsonValue& server = manifest.Set("server", JsonValue::Object());
  server.Set("version", JsonValue::String(content.serverVersion));
  server.Set("hostname", JsonValue::String(content.hostname));
  server.Set("datadir", JsonValue::String(content.datadir));
  server.Set("log_bin", JsonValue::Bool(content.logBin));
  JsonValue& tool = manifest.Set("tool", JsonValue::Object());
  tool.Set("version", JsonValue::String(content.toolVersion));
  tool.Set("parallel", JsonValue::Number(content.parallel));
  JsonValue& library = manifest.Set("library", JsonValue::Object());
  library.Set("file", JsonValue::String(content.libraryFile));
  library.Set("version", JsonValue::String(content.libraryVersion));
  manifest.Set("started_at", JsonValue::String(content.startedAt));
  manifest.Set("finished_at", JsonValue::String(content.finishedAt));
  manifest.Set("duration_seconds", JsonValue::Real(content.durationSeconds));
  SetStreamAndSchema(manifest, content);
  manifest.Set("binlog", content.binlogInfo ? ParseBinlogInfo(*content.binlogInfo)
                                            : JsonValue::Null());
  manifest.Set("checkpoints", content.checkpoints ? ParseKeyValues(*content.checkpoints)
                                                  : JsonValue::Null());
  JsonValue& tables = manifest.Set("tables", JsonValue::Array());
  for (const ManifestTable& info : content.tables) tables.Push(TableEntry(info, true));
  JsonValue& unsupported = manifest.Set("unsupported_tables", JsonValue::Array());
  for (const ManifestTable& info : content.unsupportedTables) {
    unsupported.Push(TableEntry(info, false));
  }
  JsonValue& notes = manifest.Set("notes", JsonValue::Array());
  for (const std::string& note : content.notes) notes.Push(JsonValue::String(note));
  return manifest.Dump();
}

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
  if (summary.kind == "database") doc["database_on_disk"].GetString(&summary.databaseOnDisk);
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
  ReadEncoding(stream, path, &summary);
  return summary;
}

}  // namespace xbagent
