#include "ShellQuote.h"

namespace XtraBackup {
namespace detail {

namespace {

bool IsOrdinaryPathChar(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  switch (c) {
    case '/': case '.': case '_': case '-': case '+': case ',': case ':': case '@': case '%':
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string EscapeForDoubleQuotes(const std::string& value) {
  if (value.find_first_of("\\\"$`") == std::string::npos) return value;
  std::string escaped;
  escaped.reserve(value.size() + 8);
  for (char c : value) {
    if (c == '\\' || c == '"' || c == '$' || c == '`') escaped += '\\';
    escaped += c;
  }
  return escaped;
}

std::string QuoteWord(const std::string& value) {
  bool ordinary = true;
  for (char c : value) {
    if (!IsOrdinaryPathChar(c)) {
      ordinary = false;
      break;
    }
  }
  if (ordinary) return value;

  std::string quoted;
  quoted.reserve(value.size() + 8);
  quoted += '\'';
  for (char c : value) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

std::string NulReason(
    std::initializer_list<std::pair<const char*, const std::string*>> values) {
  for (const auto& value : values) {
    if (value.second->find('\0') != std::string::npos)
      return std::string("the ") + value.first + " holds a NUL character";
  }
  return std::string();
}

std::string NotAnOption(const std::string& path) {
  return !path.empty() && path[0] == '-' ? "./" + path : path;
}

}  // namespace detail
}  // namespace XtraBackup
