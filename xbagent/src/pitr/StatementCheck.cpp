// A one-database replay filters statement-logged events by the database
// that was the default when they ran (mariadb-binlog --database): such an
// event run elsewhere that changes the database is left out. This reads
// mariadb-binlog's text output and finds the first such statement.

#include <algorithm>
#include <cctype>

#include "../Common.h"
#include "PointInTime.h"

namespace xbagent {

namespace {

constexpr const char* kEnd = "/*!*/;";

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool EndsWith(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Transaction control: no data of its own.
bool IsControl(const std::string& statement) {
  const std::string text = Lower(Trim(statement));
  for (const char* word : {"begin", "commit", "rollback", "xa ", "savepoint", "release savepoint"}) {
    if (text.compare(0, std::string(word).size(), word) == 0) return true;
  }
  return false;
}

// The statement names the database: `name` or name. (quoted or not).
bool Names(const std::string& statement, const std::string& database) {
  const std::string text = Lower(statement);
  const std::string name = Lower(database);
  return text.find("`" + name + "`") != std::string::npos || text.find(name + ".") != std::string::npos;
}

// The qualifiers of "x.y" names outside string literals: `x` or x before a
// dot that is followed by a name.
std::vector<std::string> Qualifiers(const std::string& statement) {
  std::vector<std::string> found;
  std::string word;
  bool quotedWord = false;
  for (size_t i = 0; i < statement.size(); ++i) {
    const char c = statement[i];
    if (c == '\'' || c == '"') {  // a string literal: skipped whole
      for (++i; i < statement.size() && statement[i] != c; ++i) {
        if (statement[i] == '\\') ++i;
      }
      word.clear();
      continue;
    }
    if (c == '`') {
      size_t end = statement.find('`', i + 1);
      if (end == std::string::npos) break;
      word = statement.substr(i + 1, end - i - 1);
      quotedWord = true;
      i = end;
      continue;
    }
    if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$') {
      if (quotedWord) word.clear();
      quotedWord = false;
      word += c;
      continue;
    }
    if (c == '.' && !word.empty() && i + 1 < statement.size() &&
        (std::isalpha(static_cast<unsigned char>(statement[i + 1])) || statement[i + 1] == '_' ||
         statement[i + 1] == '`') &&
        !std::isdigit(static_cast<unsigned char>(word[0]))) {
      found.push_back(word);
    }
    word.clear();
    quotedWord = false;
  }
  return found;
}

}  // namespace

void StatementCheck::Judge() {
  const std::string text = Trim(statement_).substr(0, 200);
  if (current_ != database_) {
    if (Names(statement_, database_)) {
      problem_ = "a statement-based event at " + time_ + " ran with default database '" + current_ +
                 "' and names '" + database_ + "': " + text;
    }
    return;
  }
  for (const std::string& qualifier : Qualifiers(statement_)) {
    for (const std::string& other : others_) {
      if (Lower(qualifier) == Lower(other)) {
        problem_ = "a statement-based event at " + time_ + " in '" + database_ +
                   "' names the database '" + other + "': " + text;
        return;
      }
    }
  }
}

void StatementCheck::Line(const std::string& line) {
  EventHeader header;
  if (ParseEventHeader(line, &header)) {
    inQuery_ = line.find("\tQuery\t") != std::string::npos;
    time_ = header.time;
    statement_.clear();
    return;
  }
  if (!inQuery_ || !problem_.empty()) return;
  if (line.compare(0, 5, "use `") == 0) {
    size_t end = line.rfind('`');
    current_ = end > 5 ? line.substr(5, end - 5) : std::string();
    statement_.clear();
    return;
  }
  if (line != kEnd) {
    if (EndsWith(line, kEnd) || line.compare(0, 2, "# ") == 0) {
      statement_.clear();  // a session setting, or a comment
    } else {
      statement_ += line + "\n";
    }
    return;
  }
  if (!statement_.empty() && !IsControl(statement_)) Judge();
  statement_.clear();
}

}  // namespace xbagent
