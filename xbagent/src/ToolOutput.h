#pragma once

// Reads a tool's standard error line by line as it arrives: keeps the last
// lines (a failing tool puts its reason near the end), notices the lines
// that make a backup incomplete, and passes every line to the debug log.

#include <cstddef>
#include <deque>
#include <string>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>

namespace xbagent {

class ToolOutput {
 public:
  explicit ToolOutput(std::string toolName) : toolName_(std::move(toolName)) {}

  void Feed(const char* data, size_t length);
  // Ends the last line if it had no newline.
  void Finish();

  // The last non-empty line ("" when there was none).
  std::string LastLine() const;
  // True when the last non-empty line is the backup tool's success line.
  bool EndsWithSuccess() const;
  // The first line reporting a table left out of the backup ("" if none).
  const std::string& DroppedTableLine() const { return droppedTableLine_; }
  size_t DroppedTableLines() const { return droppedTableCount_; }
  // The tablespaces those lines name, "db/name" as on disk (".ibd" and a
  // leading "./" removed; the first 1,000).
  const std::vector<std::string>& DroppedTablespaces() const { return droppedTablespaces_; }
  // The line most likely to hold the reason of a failure: the last line
  // that looks like an error among the final ones, else the last line; and
  // the last line with an operating-system error text ("No space left on
  // device", "errno ..."), when the tool printed one elsewhere.
  std::string Reason() const;
  size_t Lines() const { return lineCount_; }
  // The tool's own name and version as it prints them first ("... based on
  // MariaDB server ..."), untouched; "" when it printed none.
  const std::string& VersionLine() const { return versionLine_; }

 private:
  void Line(const std::string& line);

  std::string toolName_;
  std::string partial_;
  std::deque<std::string> tail_;
  std::string droppedTableLine_;
  size_t droppedTableCount_ = 0;
  std::vector<std::string> droppedTablespaces_;
  size_t lineCount_ = 0;
  std::string versionLine_;
  std::string osErrorLine_;
};

// The text of a failure message from the utility library with the tool's
// error output in it: the reason line picked as by ToolOutput::Reason.
// "db/name" from the tool's line "... ignore the tablespace ./db/name.ibd";
// "" when the line names none.
std::string DroppedTablespaceOf(const std::string& line);

std::string ReasonFromText(const std::string& text, const std::string& toolName);

// The reason line in the error output an ended child left pending.
std::string ToolReason(LibMySqlProcess::MySqlChildProcess& child, const std::string& toolName);

}  // namespace xbagent
