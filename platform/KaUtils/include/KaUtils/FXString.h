#pragma once

#include <cstdarg>
#include <string>
#include <vector>

#include <KaUtils/KaUtilsApi.h>

class KAUTILS_API FXString {
 public:
  // printf-formatted text of any length.
  static std::string Format(const char* pszFormat, ...) KAUTILS_PRINTF(1, 2);
  static std::string FormatV(const char* pszFormat, va_list args);

  // Appends to `parts` the pieces of `text` between occurrences of
  // `delimiter`, in order, empty pieces included ("a\t\tb" gives "a", "", "b";
  // an empty text gives no piece). An empty delimiter yields the whole text as
  // one piece. `flags` is reserved and must be 0. Returns the number of pieces
  // appended.
  static unsigned int Split(const std::string& text, const std::string& delimiter,
                            std::vector<std::string>& parts, unsigned int flags);
};
