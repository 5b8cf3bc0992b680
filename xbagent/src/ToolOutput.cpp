#include "ToolOutput.h"

#include <algorithm>
#include <vector>
#include <utility>

#include "Common.h"
#include "Log.h"

namespace xbagent {

namespace {

constexpr size_t kTailLines = 40;
// The tool names itself and its version within its first lines.
constexpr size_t kVersionLines = 10;
constexpr size_t kMaxLineBytes = 16 * 1024;

bool Contains(const std::string& text, const char* part) {
  return text.find(part) != std::string::npos;
}

bool LooksLikeError(const std::string& line) {
  static const char* const kMarks[] = {"rror", "ERROR", "ailed", "FAILED", "annot", "an't",
                                       "denied", "No such", "not found", "Fatal", "FATAL",
                                       "fatal", "Invalid", "invalid", "refused", "Aborting",
                                       "Unknown", "unknown"};
  for (const char* mark : kMarks) {
    if (Contains(line, mark)) return true;
  }
  return false;
}

// A line with the operating system's own words for a failure: the cause an
// operator can act on, which the tool's final complaint often leaves out.
bool LooksLikeOsError(const std::string& line) {
  static const char* const kMarks[] = {"No space left on device", "Permission denied",
                                       "Disk quota exceeded", "Read-only file system",
                                       "Too many open files", "Input/output error",
                                       "Operation not permitted", "File too large",
                                       "errno", "Errcode", "OS error"};
  for (const char* mark : kMarks) {
    if (Contains(line, mark)) return true;
  }
  return false;
}

// Among the last lines, the last that looks like an error; else the last.
std::string PickReason(const std::deque<std::string>& lines) {
  size_t looked = 0;
  for (auto it = lines.rbegin(); it != lines.rend() && looked < 8; ++it, ++looked) {
    if (LooksLikeError(*it)) return *it;
  }
  return lines.empty() ? std::string() : lines.back();
}

}  // namespace

void ToolOutput::Feed(const char* data, size_t length) {
  size_t start = 0;
  for (size_t i = 0; i < length; ++i) {
    if (data[i] != '\n') continue;
    if (partial_.size() < kMaxLineBytes) {
      partial_.append(data + start, std::min(i - start, kMaxLineBytes - partial_.size()));
    }
    Line(partial_);
    partial_.clear();
    start = i + 1;
  }
  if (start < length && partial_.size() < kMaxLineBytes) {
    partial_.append(data + start, std::min(length - start, kMaxLineBytes - partial_.size()));
  }
}

void ToolOutput::Finish() {
  if (!partial_.empty()) Line(partial_);
  partial_.clear();
}

void ToolOutput::Line(const std::string& raw) {
  std::string line = Trim(raw);
  if (line.empty()) return;
  ++lineCount_;
  Log().Detail(Verbosity::kDebug, toolName_ + ": " + line);
  // Among the first lines, without the "[NN]" of a thread's messages (which
  // may quote names of the user's tables).
  if (versionLine_.empty() && lineCount_ <= kVersionLines && line[0] != '[' &&
      Contains(line, " based on ")) {
    versionLine_ = line;
  }
  // "We assume the  table was dropped during xtrabackup execution": a table
  // the tool could not find is silently left out of the backup.
  if (Contains(line, "We assume the") && Contains(line, "table was dropped")) {
    if (droppedTableCount_++ == 0) droppedTableLine_ = line;
    std::string space = DroppedTablespaceOf(line);
    if (!space.empty() && droppedTablespaces_.size() < 1000) droppedTablespaces_.push_back(space);
  }
  if (LooksLikeOsError(line)) osErrorLine_ = line;
  tail_.push_back(line);
  if (tail_.size() > kTailLines) tail_.pop_front();
}

std::string ToolOutput::LastLine() const { return tail_.empty() ? std::string() : tail_.back(); }

bool ToolOutput::EndsWithSuccess() const { return Contains(LastLine(), "completed OK!"); }

std::string ToolOutput::Reason() const {
  const std::string reason = PickReason(tail_);
  if (osErrorLine_.empty() || Contains(reason, osErrorLine_.c_str())) return reason;
  return reason + " (the tool's system error: " + osErrorLine_ + ")";
}

std::string DroppedTablespaceOf(const std::string& line) {
  const std::string mark = "ignore the tablespace ";
  size_t at = line.rfind(mark);
  if (at == std::string::npos) return std::string();
  std::string path = Trim(line.substr(at + mark.size()));
  if (path.compare(0, 2, "./") == 0) path.erase(0, 2);
  const std::string suffix = ".ibd";
  if (path.size() > suffix.size() &&
      path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0) {
    path.erase(path.size() - suffix.size());
  }
  return path;
}

std::string ReasonFromText(const std::string& text, const std::string& toolName) {
  // The library puts the tool's error output in brackets, after "Error = "
  // when it names the command: "[output\n]" or "... Error = [[output\n]]".
  size_t open = text.find("Error = [");
  std::string inner = text;
  if (open != std::string::npos) {
    inner = text.substr(open + 9);
    if (!inner.empty() && inner.back() == ']') inner.pop_back();
  }
  for (;;) {
    while (!inner.empty() && inner.back() == '\n') inner.pop_back();
    if (inner.size() < 2 || inner.front() != '[' || inner.back() != ']') break;
    inner = inner.substr(1, inner.size() - 2);
  }
  ToolOutput output(toolName);
  output.Feed(inner.data(), inner.size());
  output.Finish();
  std::string reason = output.Reason();
  return reason.empty() ? Trim(text) : reason;
}

std::string ToolReason(LibMySqlProcess::MySqlChildProcess& child, const std::string& toolName) {
  ToolOutput output(toolName);
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    long length = static_cast<long>(buffer.size());
    if (child.ReadErrBuf(buffer.data(), &length) != 0 || length <= 0) break;
    output.Feed(buffer.data(), static_cast<size_t>(length));
    if (static_cast<size_t>(length) < buffer.size()) break;
  }
  output.Finish();
  return output.Reason();
}

}  // namespace xbagent
