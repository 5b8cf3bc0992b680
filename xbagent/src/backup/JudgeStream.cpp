// xbagent backup, judging phase: anything short of a verified complete
// stream fails the backup. The one failure a retry can cure is the tool
// leaving out tables that exist on the server because InnoDB has written
// no checkpoint since they were imported.

#include <set>
#include <string>
#include <vector>

#include "../Common.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

void JudgeTransfer(const StreamOutcome& outcome) {
  const RelayResult& relay = outcome.relay;
  if (relay.stopped) Fail("interrupted; the backup was abandoned");
  if (relay.writeErrno != 0) {
    Fail("cannot write the stream to " + outcome.destination + ": " + ErrnoText(relay.writeErrno));
  }
  if (outcome.closeErrno != 0) {
    Fail("cannot write the stream to " + outcome.destination + ": " +
         ErrnoText(outcome.closeErrno));
  }
  if (relay.readErrno != 0) {
    Fail("reading the stream from the backup tool failed: " + ErrnoText(relay.readErrno));
  }
  if (relay.exitStatus != 0) {
    std::string reason = outcome.toolErrors.Reason();
    Fail("the backup tool failed (exit status " + std::to_string(relay.exitStatus) + ")" +
         (reason.empty() ? std::string() : ": " + reason));
  }
}

// Every tablespace the tool left out belongs to a table the server has.
bool LeftOutTablesExist(const ServerFacts& facts, const ToolOutput& toolErrors) {
  const std::vector<std::string>& dropped = toolErrors.DroppedTablespaces();
  if (dropped.empty() || dropped.size() != toolErrors.DroppedTableLines()) return false;
  std::set<std::string> present(facts.tablespaces.begin(), facts.tablespaces.end());
  for (const ManifestTable& table : facts.tables) present.insert(table.onDisk);
  for (const std::string& space : dropped) {
    // A partition's space "db/t#P#p0" belongs to table "db/t".
    if (!present.count(space) && !present.count(space.substr(0, space.find('#')))) return false;
  }
  return true;
}

// The first file of a table the stream should carry and does not ("" when
// none): every table's .frm, and the data and index files of MyISAM and
// Aria (the tool skips, with only a message, those it cannot open, such as
// Aria files behind DATA DIRECTORY links).
std::string LackingFile(const ManifestTable& table, const XbStreamScanner& scanner) {
  std::vector<std::string> files = {table.onDisk + ".frm"};
  if (!table.partitioned && table.engine == "MyISAM") {
    files.push_back(table.onDisk + ".MYD");
    files.push_back(table.onDisk + ".MYI");
  } else if (!table.partitioned && table.engine == "Aria") {
    files.push_back(table.onDisk + ".MAD");
    files.push_back(table.onDisk + ".MAI");
  }
  for (const std::string& file : files) {
    if (!scanner.HasFile(file)) return file;
  }
  return std::string();
}

// Tables the server listed whose files the stream does not carry.
std::vector<std::string> MissingFromStream(const ServerFacts& facts, const BackupOptions& options,
                                           const XbStreamScanner& scanner) {
  std::vector<std::string> missing;
  if (options.oneDatabase && facts.tables.empty() &&
      !scanner.HasFile(facts.databaseOnDisk + "/db.opt")) {
    missing.push_back("the database directory " + facts.databaseOnDisk);
  }
  for (const ManifestTable& table : facts.tables) {
    std::string lacking = LackingFile(table, scanner);
    if (!lacking.empty()) {
      missing.push_back(SqlIdentifier(table.database) + "." + SqlIdentifier(table.name) +
                        " (no " + lacking + ")");
    }
  }
  if (facts.tablespacesKnown) {
    std::string prefix = options.oneDatabase ? facts.databaseOnDisk + "/" : std::string();
    for (const std::string& space : facts.tablespaces) {
      if (space.compare(0, prefix.size(), prefix) != 0) continue;
      if (space.find("#sql") != std::string::npos) continue;  // an ALTER's work table
      if (!scanner.HasFile(space + ".ibd") && !scanner.HasFile(space + ".new")) {
        missing.push_back("tablespace " + space);
      }
    }
  }
  return missing;
}

}  // namespace

Verdict JudgeStream(const ServerFacts& facts, const BackupOptions& options,
                    const StreamOutcome& outcome) {
  JudgeTransfer(outcome);
  const ToolOutput& toolErrors = outcome.toolErrors;
  if (!toolErrors.DroppedTableLine().empty()) {
    if (LeftOutTablesExist(facts, toolErrors)) return Verdict::kCheckpointTrap;
    Fail("the backup is incomplete: the tool left out " +
         std::to_string(toolErrors.DroppedTableLines()) +
         " table(s): " + toolErrors.DroppedTableLine());
  }
  if (!toolErrors.EndsWithSuccess()) {
    Fail("the backup tool did not report success (its last line: '" + toolErrors.LastLine() +
         "')");
  }
  if (outcome.droppedErrBytes > 0) {
    Fail("part of the backup tool's messages was lost (" +
         std::to_string(outcome.droppedErrBytes) + " bytes); the backup cannot be verified");
  }
  const XbStreamScanner& scanner = outcome.scanner;
  if (!scanner.Problem().empty()) Fail("the stream is not complete: " + scanner.Problem());
  if (!scanner.HasFile(kCheckpointsFile)) {
    Fail(std::string("the stream holds no ") + kCheckpointsFile);
  }
  std::vector<std::string> missing = MissingFromStream(facts, options, scanner);
  if (!missing.empty()) {
    Fail("the stream lacks the files of " + std::to_string(missing.size()) +
         " table(s) the server listed, first " + missing[0] +
         ": the tool could not copy it, or it was dropped during the backup (-vvv shows the "
         "tool's messages)");
  }
  return Verdict::kGood;
}

}  // namespace xbagent
