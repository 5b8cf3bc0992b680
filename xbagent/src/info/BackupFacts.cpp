#include "BackupFacts.h"

#include <cstdlib>

#include "../Common.h"
#include "../Fs.h"

namespace xbagent {

namespace {

constexpr const char* kVerifyFileName = "verify.json";

double ReadReal(const JsonValue& value) {
  std::string text;
  if (value.type() != JsonValue::Type::kNumber) return 0;
  text = value.Dump();
  return std::strtod(text.c_str(), nullptr);
}

JsonValue ReadVerification(const std::string& directory) {
  const std::string path = JoinPath(directory, kVerifyFileName);
  if (!PathExists(path)) return JsonValue::Null();
  try {
    JsonValue doc = JsonValue::Parse(ReadSmallFile(path, 64u << 20), path);
    std::string verdict;
    if (!doc["verdict"].GetString(&verdict)) return JsonValue::Null();
    return doc;
  } catch (const Failure&) {
    return JsonValue::Null();
  }
}

}  // namespace

BackupFacts ReadBackupFacts(const std::string& directory) {
  BackupFacts facts;
  facts.directory = directory;
  facts.manifest = LoadManifest(directory);
  const JsonValue& doc = facts.manifest.document;
  doc["started_at"].GetString(&facts.startedAt);
  doc["finished_at"].GetString(&facts.finishedAt);
  facts.durationSeconds = ReadReal(doc["duration_seconds"]);
  const JsonValue& binlog = doc["binlog"];
  if (!binlog.IsNull()) {
    binlog["file"].GetString(&facts.binlogFile);
    binlog["position"].GetUnsigned(&facts.binlogPosition);
    binlog["gtid"].GetString(&facts.gtid);
  }
  facts.tableCount = doc["tables"].Items().size();
  facts.verification = ReadVerification(directory);
  return facts;
}

std::string Coordinates(const BackupFacts& facts) {
  if (facts.binlogFile.empty()) return "-";
  return facts.binlogFile + ":" + std::to_string(facts.binlogPosition);
}

std::string LastVerification(const BackupFacts& facts) {
  if (facts.verification.IsNull()) return "never";
  std::string verdict;
  std::string when;
  facts.verification["verdict"].GetString(&verdict);
  facts.verification["verified_at"].GetString(&when);
  return verdict + " " + when;
}

std::string KindText(const BackupFacts& facts) {
  if (facts.manifest.kind == "database") return "database '" + facts.manifest.database + "'";
  return "whole server";
}

}  // namespace xbagent
