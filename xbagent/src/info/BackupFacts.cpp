#include "BackupFacts.h"

#include "../Common.h"
#include "../Fs.h"

namespace xbagent {

namespace {

constexpr const char* kVerifyFileName = "verify.json";

double ReadReal(const Json& value) { return value.is_number() ? value.get<double>() : 0; }

Json ReadVerification(const std::string& directory) {
  const std::string path = JoinPath(directory, kVerifyFileName);
  if (!PathExists(path)) return nullptr;
  try {
    Json doc = ParseJson(ReadSmallFile(path, 64u << 20), path);
    std::string verdict;
    if (!GetString(Member(doc, "verdict"), &verdict)) return nullptr;
    return doc;
  } catch (const Failure&) {
    return nullptr;
  }
}

}  // namespace

BackupFacts ReadBackupFacts(const std::string& directory) {
  BackupFacts facts;
  facts.directory = directory;
  facts.manifest = LoadManifest(directory);
  const Json& doc = facts.manifest.document;
  GetString(Member(doc, "started_at"), &facts.startedAt);
  GetString(Member(doc, "finished_at"), &facts.finishedAt);
  facts.durationSeconds = ReadReal(doc["duration_seconds"]);
  const Json& binlog = Member(doc, "binlog");
  if (!binlog.is_null()) {
    GetString(Member(binlog, "file"), &facts.binlogFile);
    GetUnsigned(Member(binlog, "position"), &facts.binlogPosition);
    GetString(Member(binlog, "gtid"), &facts.gtid);
  }
  facts.tableCount = Member(doc, "tables").size();
  facts.verification = ReadVerification(directory);
  return facts;
}

std::string Coordinates(const BackupFacts& facts) {
  if (facts.binlogFile.empty()) return "-";
  return facts.binlogFile + ":" + std::to_string(facts.binlogPosition);
}

std::string LastVerification(const BackupFacts& facts) {
  if (facts.verification.is_null()) return "never";
  std::string verdict;
  std::string when;
  GetString(Member(facts.verification, "verdict"), &verdict);
  GetString(Member(facts.verification, "verified_at"), &when);
  return verdict + " " + when;
}

std::string KindText(const BackupFacts& facts) {
  if (facts.manifest.kind == "database") return "database '" + facts.manifest.database + "'";
  return "whole server";
}

}  // namespace xbagent
