#include <KaUtils/FXString.h>

#include <cstdio>

std::string FXString::FormatV(const char* pszFormat, va_list args) {
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(small, sizeof small, pszFormat, copy);
  va_end(copy);
  if (needed < 0) return std::string();
  if (static_cast<size_t>(needed) < sizeof small) return std::string(small, needed);

  std::string text(static_cast<size_t>(needed), '\0');
  std::vsnprintf(&text[0], text.size() + 1, pszFormat, args);
  return text;
}

std::string FXString::Format(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::string text = FormatV(pszFormat, args);
  va_end(args);
  return text;
}

unsigned int FXString::Split(const std::string& text, const std::string& delimiter,
                             std::vector<std::string>& parts, unsigned int /*flags*/) {
  if (text.empty()) return 0;
  if (delimiter.empty()) {
    parts.push_back(text);
    return 1;
  }
  unsigned int count = 0;
  size_t start = 0;
  for (;;) {
    size_t end = text.find(delimiter, start);
    if (end == std::string::npos) {
      parts.push_back(text.substr(start));
      return count + 1;
    }
    parts.push_back(text.substr(start, end - start));
    ++count;
    start = end + delimiter.size();
  }
}
