// Two schema dumps of one database compared object by object: a DDL
// between them could make the schema disagree with the tablespaces.

#include <map>
#include <string>
#include <vector>

#include "BackupPhases.h"

namespace xbagent {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

// The counter moves with every insert; it is no part of the definition.
std::string WithoutAutoIncrement(std::string line) {
  const std::string mark = " AUTO_INCREMENT=";
  size_t at = line.find(mark);
  while (at != std::string::npos) {
    size_t end = at + mark.size();
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
    line.erase(at, end - at);
    at = line.find(mark, at);
  }
  return line;
}

// A dump's comment line that starts an object's part: "Table structure for
// table `t`", "Final view structure for view `v`", "Dumping routines for ...".
bool IsSectionHeader(const std::string& line) {
  if (!StartsWith(line, "-- ")) return false;
  return line.find(" structure for ") != std::string::npos || StartsWith(line, "-- Dumping ");
}

struct Sections {
  std::vector<std::string> order;
  std::map<std::string, std::string> text;
};

Sections SplitSections(const std::string& dump) {
  Sections sections;
  std::string key = "header";
  sections.order.push_back(key);
  size_t start = 0;
  while (start < dump.size()) {
    size_t end = dump.find('\n', start);
    if (end == std::string::npos) end = dump.size();
    std::string line = dump.substr(start, end - start);
    start = end + 1;
    if (IsSectionHeader(line)) {
      key = line.substr(3);
      if (!sections.text.count(key)) sections.order.push_back(key);
    }
    // A sequence's next value is data, not definition; comment rules and
    // blank lines separate the parts.
    if (StartsWith(line, "DO SETVAL(") || line == "--" || line.empty()) continue;
    sections.text[key] += WithoutAutoIncrement(line) + "\n";
  }
  return sections;
}

// "table `t`" from "Table structure for table `t`"; the header otherwise.
std::string ObjectName(const std::string& header) {
  for (const char* kind : {"table", "view"}) {
    std::string mark = std::string(" for ") + kind + " `";
    size_t at = header.find(mark);
    if (at != std::string::npos) return kind + header.substr(at + mark.size() - 2);
  }
  const std::string sequence = "Sequence structure for `";
  if (header.compare(0, sequence.size(), sequence) == 0) {
    return "sequence " + header.substr(sequence.size() - 1);
  }
  return header;
}

}  // namespace

std::string SchemaDifference(const std::string& before, const std::string& after) {
  Sections first = SplitSections(before);
  Sections second = SplitSections(after);
  for (const std::string& key : first.order) {
    auto other = second.text.find(key);
    if (other == second.text.end() || other->second != first.text[key]) return ObjectName(key);
  }
  for (const std::string& key : second.order) {
    if (!first.text.count(key)) return ObjectName(key);
  }
  return std::string();
}

}  // namespace xbagent
