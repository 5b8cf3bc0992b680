#pragma once

#include <string>

#include <ZuLib/ZuLibApi.h>

// The settings store: an INI file of sections and `key = value` lines.
//
// Its path is the value of the environment variable XTRABACKUP_UTIL_SETTINGS
// when set and not empty, otherwise kDefaultSettingsPath. The file is read
// anew on every lookup, so a change is seen by the next call. A missing or
// unreadable file, a file that is not valid INI, a missing section or key all
// read as "not set" (result 0).
class ZULIB_API ZUPlatformInfo {
 public:
  static const char* const kDefaultSettingsPath;  // "/etc/xtrabackup-util/settings.ini"
  static const char* const kSettingsPathVariable;  // "XTRABACKUP_UTIL_SETTINGS"

  ZUPlatformInfo();
  ~ZUPlatformInfo();

  // Stores the value (surrounding blanks removed) and returns 1 when the key
  // exists; returns 0 and leaves *pValue unchanged otherwise.
  int getString(const char* section, const char* key, std::string* pValue);
  // As getString, for a value made only of decimal digits that fits an
  // unsigned long. Anything else (sign, blanks inside, hex, overflow, empty)
  // counts as not set.
  int getNumber(const char* section, const char* key, unsigned long* pValue);

  // The path the next lookup will read.
  static std::string SettingsPath();
};
