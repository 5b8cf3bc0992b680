// The logic of verify that needs no server: versions, CHECK TABLE rows, the
// table list against the manifest, verify.json.

#include <algorithm>
#include <map>
#include <utility>

#include "../Common.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

using TableKey = std::pair<std::string, std::string>;

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

std::string Lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

ManifestTable TableFrom(const Json& entry) {
  ManifestTable table;
  GetString(Member(entry, "database"), &table.database);
  GetString(Member(entry, "name"), &table.name);
  GetString(Member(entry, "engine"), &table.engine);
  GetBool(Member(entry, "partitioned"), &table.partitioned);
  return table;
}

}  // namespace

bool VerifyReport::Ok() const {
  if (!reason.empty()) return false;
  for (const TableCheck& table : tables) {
    if (table.result != "OK" && table.result != "EXTRA" && table.result != "SKIPPED") return false;
  }
  return true;
}

std::string VersionNumber(const std::string& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (!IsDigit(text[i]) || (i > 0 && (IsDigit(text[i - 1]) || text[i - 1] == '.'))) continue;
    size_t end = i;
    int dots = 0;
    while (end < text.size() && (IsDigit(text[end]) || (text[end] == '.' && dots < 2))) {
      if (text[end] == '.') ++dots;
      ++end;
    }
    if (dots == 2 && IsDigit(text[end - 1])) return text.substr(i, end - i);
  }
  return std::string();
}

void JudgeCheckRows(const std::vector<std::vector<std::string>>& rows, std::string* result,
                    std::string* message) {
  std::string problems;
  std::string status;
  for (const std::vector<std::string>& row : rows) {
    if (row.size() < 4) continue;
    const std::string type = Lower(row[2]);
    if (type == "status") {
      status = row[3];
    } else if (type == "error" || type == "warning") {
      if (!problems.empty()) problems += "; ";
      problems += row[3];
    } else if (type == "note" && row[3].find("doesn't support check") != std::string::npos) {
      status = "OK";  // nothing to check (e.g. a sequence)
    }
  }
  const bool ok = (status == "OK" || status == "Table is already up to date") && problems.empty();
  *result = ok ? "OK" : "CORRUPT";
  if (ok) {
    message->clear();
  } else {
    *message = problems.empty() ? (status.empty() ? "CHECK TABLE gave no status" : status)
                                : problems + (status.empty() ? "" : " (" + status + ")");
  }
}

std::vector<TableCheck> CompareWithManifest(const std::vector<ManifestTable>& manifest,
                                            const std::vector<ManifestTable>& unsupported,
                                            const std::vector<FoundTable>& found) {
  std::map<TableKey, const FoundTable*> onServer;
  for (const FoundTable& table : found) onServer[{table.database, table.name}] = &table;
  std::map<TableKey, std::string> skipped;
  for (const ManifestTable& table : unsupported) skipped[{table.database, table.name}] = table.engine;

  std::map<TableKey, TableCheck> merged;
  for (const ManifestTable& listed : manifest) {
    TableKey key{listed.database, listed.name};
    TableCheck check;
    check.database = listed.database;
    check.name = listed.name;
    auto it = onServer.find(key);
    if (it == onServer.end()) {
      check.engine = listed.engine;
      if (skipped.count(key) != 0) {
        check.result = "SKIPPED";
        check.message = "engine " + listed.engine + " cannot be restored into one database";
      } else {
        check.result = "MISSING";
        check.message = "listed in the manifest, absent from the restored copy";
      }
    } else {
      check.engine = it->second->engine;
      if (Lower(it->second->engine) != Lower(listed.engine)) {
        check.result = "ENGINE";
        check.message = "engine " + (it->second->engine.empty() ? std::string("unknown")
                                                                 : it->second->engine) +
                        ", the manifest says " + listed.engine;
      }
    }
    merged[key] = check;
  }
  for (const FoundTable& table : found) {
    TableKey key{table.database, table.name};
    if (merged.count(key) != 0) continue;
    TableCheck check;
    check.database = table.database;
    check.name = table.name;
    check.engine = table.engine;
    check.result = "EXTRA";
    check.message = "not listed in the manifest";
    merged[key] = check;
  }
  std::vector<TableCheck> out;
  for (auto& entry : merged) out.push_back(entry.second);
  return out;
}

void ManifestTables(const Json& manifest, std::vector<ManifestTable>* tables,
                    std::vector<ManifestTable>* unsupported) {
  for (const Json& entry : Member(manifest, "tables")) tables->push_back(TableFrom(entry));
  for (const Json& entry : Member(manifest, "unsupported_tables")) {
    unsupported->push_back(TableFrom(entry));
  }
}

std::string VerifyJsonText(const VerifyReport& report) {
  Json doc = Json::object();
  doc["format"] = kVerifyFormat;
  doc["format_version"] = 1;
  doc["kind"] = report.kind;
  doc["database"] = report.kind == "database" ? Json(report.database) : Json();
  doc["verified_at"] = report.verifiedAt;
  doc["verdict"] = report.Ok() ? "OK" : "FAILED";
  doc["duration_seconds"] = report.durationSeconds;
  doc["server_version"] = report.serverVersion;
  doc["reason"] = report.reason.empty() ? Json() : Json(report.reason);
  size_t ok = 0;
  Json tables = Json::array();
  for (const TableCheck& check : report.tables) {
    if (check.result == "OK") ++ok;
    tables.push_back({{"database", check.database},
                      {"name", check.name},
                      {"engine", check.engine},
                      {"result", check.result},
                      {"message", check.message.empty() ? Json() : Json(check.message)}});
  }
  doc["tables"] = std::move(tables);
  doc["tables_ok"] = ok;
  doc["tables_total"] = report.tables.size();
  return JsonText(doc);
}

std::string InnodbSettingsFrom(const std::string& backupMyCnf) {
  static const char* const kShared[] = {"innodb_page_size", "innodb_data_file_path",
                                        "innodb_undo_tablespaces", "innodb_checksum_algorithm"};
  std::string out;
  size_t start = 0;
  while (start < backupMyCnf.size()) {
    size_t end = backupMyCnf.find('\n', start);
    if (end == std::string::npos) end = backupMyCnf.size();
    std::string line = Trim(backupMyCnf.substr(start, end - start));
    start = end + 1;
    size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    std::string name = Trim(line.substr(0, equals));
    std::replace(name.begin(), name.end(), '-', '_');
    std::string value = Trim(line.substr(equals + 1));
    // Values go into a settings file: nothing that could start a new line or
    // a new option.
    if (value.find_first_of("\r\n") != std::string::npos || value.empty()) continue;
    for (const char* shared : kShared) {
      if (name == shared) out += "loose-" + name + "=" + value + "\n";
    }
  }
  return out;
}

}  // namespace xbagent
