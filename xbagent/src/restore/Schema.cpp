#include "Schema.h"

#include <cctype>

#include "../Common.h"
#include "../Sql.h"

namespace xbagent {
namespace restore {

namespace {

bool IsWordChar(unsigned char c) { return std::isalnum(c) || c == '_' || c == '$' || c >= 0x80; }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Length of the quoted run starting at text[i] (a quote char), through its
// closing quote; npos when it does not close. Backslash escapes count in
// '..' and "..", doubled quotes in all three.
size_t QuotedLength(const std::string& text, size_t i) {
  const char quote = text[i];
  for (size_t j = i + 1; j < text.size(); ++j) {
    if (text[j] == '\\' && quote != '`') {
      ++j;
    } else if (text[j] == quote) {
      if (j + 1 < text.size() && text[j + 1] == quote) {
        ++j;
      } else {
        return j + 1 - i;
      }
    }
  }
  return std::string::npos;
}

// A line comment starts here: "-- " (or "--" at the end of a line) or "#".
bool LineCommentAt(const std::string& text, size_t i) {
  if (text[i] == '#') return true;
  return text.compare(i, 2, "--") == 0 &&
         (i + 2 >= text.size() || std::isspace(static_cast<unsigned char>(text[i + 2])));
}

// A plain (not executable) block comment starts here.
bool PlainCommentAt(const std::string& text, size_t i) {
  if (text.compare(i, 2, "/*") != 0) return false;
  if (text.compare(i, 3, "/*!") == 0) return false;
  if (text.compare(i, 3, "/*M") == 0 && text.compare(i, 10, "/*M!999999") != 0) return false;
  return true;
}

struct Token {
  std::string word;  // upper-cased for bare words, unquoted for `ident`
  std::string raw;   // bare words as written
  bool quoted = false;
  bool symbol = false;
  size_t end = 0;    // offset after the token in the normalised text
};

// The statement as the server reads it for its first words: executable
// comment markers removed, plain comments dropped.
std::string Normalise(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size();) {
    char c = text[i];
    if (c == '\'' || c == '"' || c == '`') {
      size_t length = QuotedLength(text, i);
      if (length == std::string::npos) length = text.size() - i;
      out.append(text, i, length);
      i += length;
    } else if (PlainCommentAt(text, i)) {
      size_t end = text.find("*/", i + 2);
      i = end == std::string::npos ? text.size() : end + 2;
      out += ' ';
    } else if (text.compare(i, 2, "/*") == 0) {
      i += 2;
      if (i < text.size() && text[i] == 'M') ++i;
      if (i < text.size() && text[i] == '!') ++i;
      while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
      out += ' ';
    } else if (text.compare(i, 2, "*/") == 0) {
      i += 2;
      out += ' ';
    } else if (LineCommentAt(text, i)) {
      size_t end = text.find('\n', i);
      i = end == std::string::npos ? text.size() : end;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::vector<Token> Tokenise(const std::string& text, size_t limit) {
  std::vector<Token> tokens;
  size_t i = 0;
  while (i < text.size() && tokens.size() < limit) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (std::isspace(c)) {
      ++i;
      continue;
    }
    Token token;
    if (c == '`') {
      size_t length = QuotedLength(text, i);
      if (length == std::string::npos) break;
      for (size_t j = i + 1; j + 1 < i + length; ++j) {
        token.word += text[j];
        if (text[j] == '`') ++j;
      }
      token.quoted = true;
      i += length;
    } else if (c == '\'' || c == '"') {
      size_t length = QuotedLength(text, i);
      if (length == std::string::npos) break;
      token.word = text.substr(i, length);
      token.symbol = true;
      i += length;
    } else if (IsWordChar(c)) {
      size_t start = i;
      while (i < text.size() && IsWordChar(static_cast<unsigned char>(text[i]))) ++i;
      token.raw = text.substr(start, i - start);
      token.word = Upper(token.raw);
    } else {
      token.word = std::string(1, static_cast<char>(c));
      token.symbol = true;
      ++i;
    }
    token.end = i;
    tokens.push_back(token);
  }
  return tokens;
}

bool Bare(const Token& token, const char* word) {
  return !token.quoted && !token.symbol && token.word == word;
}

// The index of the first bare token among words, from start; npos if none.
size_t FindKeyword(const std::vector<Token>& tokens, size_t start,
                   const std::vector<const char*>& words) {
  for (size_t i = start; i < tokens.size(); ++i) {
    for (const char* word : words) {
      if (Bare(tokens[i], word)) return i;
    }
  }
  return std::string::npos;
}

// The name at tokens[i], skipping "IF [NOT] EXISTS" and a "db." qualifier.
std::string NameAt(const std::vector<Token>& tokens, size_t i, size_t* next = nullptr) {
  while (i < tokens.size() && (Bare(tokens[i], "IF") || Bare(tokens[i], "NOT") ||
                               Bare(tokens[i], "EXISTS"))) {
    ++i;
  }
  if (i >= tokens.size()) return std::string();
  if (i + 2 < tokens.size() && tokens[i + 1].word == "." && tokens[i + 1].symbol) i += 2;
  if (next != nullptr) *next = i + 1;
  const Token& token = tokens[i];
  if (token.quoted) return token.word;
  return token.symbol ? std::string() : token.raw;
}

Object ObjectOf(const Token& token) {
  const std::string& w = token.word;
  if (w == "TABLE") return Object::kTable;
  if (w == "SEQUENCE") return Object::kSequence;
  if (w == "VIEW") return Object::kView;
  if (w == "TRIGGER") return Object::kTrigger;
  if (w == "PROCEDURE" || w == "FUNCTION") return Object::kRoutine;
  if (w == "EVENT") return Object::kEvent;
  if (w == "DATABASE" || w == "SCHEMA") return Object::kDatabase;
  return Object::kNone;
}

void Classify(SchemaStatement& statement, SchemaScript& script) {
  const std::string normal = Normalise(statement.text);
  std::vector<Token> tokens = Tokenise(normal, 400);
  if (tokens.empty()) {
    statement.where = Where::kSkip;
    return;
  }
  const Token& first = tokens[0];
  static const std::vector<const char*> kObjects = {"TABLE", "SEQUENCE", "VIEW", "TRIGGER",
                                                    "PROCEDURE", "FUNCTION", "EVENT",
                                                    "DATABASE", "SCHEMA"};
  if (Bare(first, "SET")) {
    statement.where = Where::kSession;
  } else if (Bare(first, "USE") || Bare(first, "LOCK") || Bare(first, "UNLOCK")) {
    statement.where = Where::kSkip;
  } else if (Bare(first, "CREATE") || Bare(first, "DROP") || Bare(first, "ALTER")) {
    statement.create = Bare(first, "CREATE");
    size_t at = FindKeyword(tokens, 1, kObjects);
    if (at == std::string::npos) return;  // e.g. CREATE INDEX: shadow
    statement.object = ObjectOf(tokens[at]);
    size_t next = at + 1;
    statement.name = NameAt(tokens, at + 1, &next);
    switch (statement.object) {
      case Object::kTable:
      case Object::kSequence:
        statement.where = Where::kShadow;
        break;
      case Object::kDatabase:
        statement.where = Bare(first, "ALTER") ? Where::kTarget : Where::kSkip;
        if (statement.create) {
          for (size_t i = next; i < tokens.size(); ++i) {
            if (!script.databaseOptions.empty()) script.databaseOptions += ' ';
            script.databaseOptions += tokens[i].word;
          }
        }
        break;
      default:
        statement.where = Where::kTarget;
        break;
    }
    if (statement.create && statement.object == Object::kSequence) {
      script.sequences.insert(statement.name);
    }
    if (statement.create && statement.object == Object::kTable) {
      for (size_t i = next; i + 1 < tokens.size(); ++i) {
        if ((Bare(tokens[i], "DATA") || Bare(tokens[i], "INDEX")) &&
            Bare(tokens[i + 1], "DIRECTORY")) {
          script.remoteTables.insert(statement.name);
        }
      }
    }
    if (statement.object == Object::kTrigger && statement.create) {
      size_t on = FindKeyword(tokens, next, {"ON"});
      if (on != std::string::npos) statement.onTable = NameAt(tokens, on + 1);
    }
  } else {
    statement.where = Where::kShadow;  // DO SETVAL(...) and the like
  }
}

}  // namespace

int SchemaScript::Count(Object object) const {
  int count = 0;
  for (const SchemaStatement& statement : statements) {
    if (statement.create && statement.object == object) ++count;
  }
  return count;
}

SchemaScript ParseSchema(const std::string& text) {
  SchemaScript script;
  std::string delimiter = ";";
  std::string current;
  auto flush = [&] {
    SchemaStatement statement;
    statement.text = Trim(current);
    current.clear();
    if (statement.text.empty()) return;
    Classify(statement, script);
    if (statement.where != Where::kSkip) script.statements.push_back(statement);
  };
  size_t i = 0;
  bool lineStart = true;
  while (i < text.size()) {
    if (lineStart && Trim(current).empty() &&
        Upper(text.substr(i, 10)) == "DELIMITER ") {
      size_t end = text.find('\n', i);
      if (end == std::string::npos) end = text.size();
      delimiter = Trim(text.substr(i + 10, end - i - 10));
      if (delimiter.empty()) Fail("schema.sql has a DELIMITER line without a delimiter");
      i = end;
      continue;
    }
    char c = text[i];
    lineStart = false;
    if (c == '\n') lineStart = true;
    if (c == '\'' || c == '"' || c == '`') {
      size_t length = QuotedLength(text, i);
      if (length == std::string::npos) Fail("schema.sql ends inside a quoted string");
      current.append(text, i, length);
      i += length;
    } else if (LineCommentAt(text, i)) {
      size_t end = text.find('\n', i);
      i = end == std::string::npos ? text.size() : end;
    } else if (text.compare(i, 2, "/*") == 0) {
      size_t end = text.find("*/", i + 2);
      if (end == std::string::npos) Fail("schema.sql ends inside a comment");
      // Executable comments hold statement text; a delimiter inside one
      // does not end the statement (the dump never puts one there).
      current.append(text, i, end + 2 - i);
      i = end + 2;
    } else if (text.compare(i, delimiter.size(), delimiter) == 0) {
      flush();
      i += delimiter.size();
    } else {
      current += c;
      ++i;
    }
  }
  flush();
  return script;
}

std::string RenameDatabase(const std::string& statement, const std::string& from,
                           const std::string& to) {
  std::string out;
  const std::string replacement = SqlIdentifier(to);
  char previous = 0;            // last non-blank character emitted
  std::string previousWord;     // last bare word, upper-cased
  auto nextNonBlank = [&](size_t j) {
    while (j < statement.size() && std::isspace(static_cast<unsigned char>(statement[j]))) ++j;
    return j < statement.size() ? statement[j] : '\0';
  };
  auto isReference = [&](size_t after) {
    if (previous == '.') return false;
    return nextNonBlank(after) == '.' || previousWord == "DATABASE" || previousWord == "SCHEMA";
  };
  for (size_t i = 0; i < statement.size();) {
    const char c = statement[i];
    if (c == '\'' || c == '"' || c == '`') {
      size_t length = QuotedLength(statement, i);
      if (length == std::string::npos) length = statement.size() - i;
      std::string piece = statement.substr(i, length);
      if (c == '`') {
        std::string name;
        for (size_t j = 1; j + 1 < piece.size(); ++j) {
          name += piece[j];
          if (piece[j] == '`') ++j;
        }
        if (name == from && isReference(i + length)) piece = replacement;
        previousWord.clear();
      }
      out += piece;
      previous = piece.back();
      i += length;
    } else if (PlainCommentAt(statement, i)) {
      size_t end = statement.find("*/", i + 2);
      end = end == std::string::npos ? statement.size() : end + 2;
      out.append(statement, i, end - i);
      i = end;
    } else if (IsWordChar(static_cast<unsigned char>(c))) {
      size_t start = i;
      while (i < statement.size() && IsWordChar(static_cast<unsigned char>(statement[i]))) ++i;
      std::string word = statement.substr(start, i - start);
      if (word == from && isReference(i) && !(start >= 2 && statement.compare(start - 2, 2, "/*") == 0)) {
        out += replacement;
      } else {
        out += word;
      }
      previousWord = Upper(word);
      previous = word.back();
    } else {
      out += c;
      if (!std::isspace(static_cast<unsigned char>(c))) {
        previous = c;
        if (c != '!') previousWord.clear();
      }
      ++i;
    }
  }
  return out;
}

}  // namespace restore
}  // namespace xbagent
