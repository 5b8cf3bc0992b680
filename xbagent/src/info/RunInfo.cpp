// xbagent info DIR: what a backup's manifest holds, in words (or as JSON:
// the manifest and the last verification).

#include <cstdio>
#include <map>

#include "../Args.h"
#include "../Commands.h"
#include "../Common.h"
#include "../Fs.h"
#include "BackupFacts.h"

namespace xbagent {

namespace {

void Line(const std::string& label, const std::string& value) {
  std::printf("%-15s %s\n", (label + ":").c_str(), value.c_str());
}

std::string EngineCounts(const Json& tables) {
  std::map<std::string, size_t> counts;
  for (const Json& table : tables) {
    std::string engine;
    GetString(Member(table, "engine"), &engine);
    ++counts[engine.empty() ? "unknown" : engine];
  }
  std::string out;
  for (const auto& entry : counts) {
    out += (out.empty() ? "" : ", ") + entry.first + " " + std::to_string(entry.second);
  }
  return out;
}

std::string Ratio(uint64_t raw, uint64_t stored) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f", stored == 0 ? 0.0 : double(raw) / double(stored));
  return text;
}

void PrintWords(const BackupFacts& facts) {
  const Json& doc = facts.manifest.document;
  std::string host, tool, library, toolParallel;
  GetString(Member(Member(doc, "server"), "hostname"), &host);
  GetString(Member(Member(doc, "tool"), "version"), &tool);
  GetString(Member(Member(doc, "library"), "version"), &library);
  Line("backup", facts.directory);
  Line("kind", KindText(facts));
  Line("server", facts.manifest.serverVersion + (host.empty() ? "" : " on " + host));
  Line("taken", facts.startedAt + " to " + facts.finishedAt + " (" +
                    HumanSeconds(facts.durationSeconds) + ")");
  Line("stream", facts.manifest.streamFile + ", " + HumanBytes(facts.manifest.streamSize) +
                     " (" + std::to_string(facts.manifest.streamSize) + " bytes)");
  Line("sha256", facts.manifest.streamSha256);
  const StreamEncoding& encoding = facts.manifest.encoding;
  if (!encoding.Plain()) {
    std::string how;
    if (encoding.zstd) how = "zstd level " + std::to_string(encoding.zstdLevel);
    if (encoding.encrypted) how += std::string(how.empty() ? "" : ", ") + "AES-256-GCM encrypted";
    Line("encoding", how + "; the tool's stream is " + HumanBytes(facts.manifest.rawSize) +
                         " (ratio " + Ratio(facts.manifest.rawSize, facts.manifest.streamSize) +
                         ")");
  } else {
    Line("encoding", "none (plain xbstream)");
  }
  std::string counts = EngineCounts(doc["tables"]);
  Line("tables", std::to_string(facts.tableCount) + (counts.empty() ? "" : " (" + counts + ")"));
  if (!Member(doc, "unsupported_tables").empty()) {
    Line("not restorable", std::to_string(Member(doc, "unsupported_tables").size()) +
                               " table(s) by a one-database restore (" +
                               EngineCounts(doc["unsupported_tables"]) + ")");
  }
  Line("binlog", facts.binlogFile.empty()
                     ? std::string("none (binary logging was off)")
                     : Coordinates(facts) + (facts.gtid.empty() ? "" : ", GTID " + facts.gtid));
  std::string schema;
  GetString(Member(Member(doc, "schema"), "file"), &schema);
  if (!schema.empty()) Line("schema", schema);
  Line("made with", "xbagent library " + library + ", " + tool);
  for (const Json& note : Member(doc, "notes")) {
    std::string text;
    if (GetString(note, &text)) Line("note", text);
  }
  Line("verified", LastVerification(facts));
}

}  // namespace

int RunInfo(const ArgList& argv) {
  CommandLine cli("info",
                  "Says what the backup in DIR holds: its kind, the server it came from, when it "
                  "was taken, the stream's size and SHA-256, the tables by engine, the binary-log "
                  "coordinates, and the last verification (from verify.json).",
                  "Exit status: 0 success, 1 not a readable backup, 2 bad usage.");
  std::string given;
  bool json = false;
  cli->add_option("DIR", given, "the backup directory (or its manifest.json)")->required();
  cli->add_flag("--json", json, "print {\"directory\", \"manifest\", \"verification\"} as JSON");
  cli.Parse(argv);
  std::string dir = AbsolutePath(given);
  // The manifest's path names its backup too.
  if (!IsDirectory(dir) && BaseName(dir) == kManifestFile && PathExists(dir)) dir = DirName(dir);
  if (!IsDirectory(dir)) Fail("backup directory " + dir + " does not exist");
  BackupFacts facts = ReadBackupFacts(dir);
  if (json) {
    Json out = {{"directory", dir},
                {"manifest", facts.manifest.document},
                {"verification", facts.verification}};
    std::fputs(JsonText(out).c_str(), stdout);
  } else {
    PrintWords(facts);
  }
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace xbagent
