#pragma once

#include <string>

#define MYSQLCOMMON_API __attribute__((visibility("default")))

class MYSQLCOMMON_API GetMySqlInfo {
 public:
  // The name under which the MySQL/MariaDB server stores a database directory
  // or a table's files on disk (its "filename" character set): ASCII letters,
  // digits and '_' unchanged; letters that have one get a three-character
  // "@xy" code; every other character "@" and four lower-case hex digits of
  // its code point. Names equal to a reserved device name (CON, PRN, AUX,
  // NUL, COM1-9, LPT1-9, any letter case) get "@@@" appended, as the server
  // does. Output contains only [0-9A-Za-z_@].
  //
  // Input is UTF-8. A byte that does not begin a valid UTF-8 sequence (stray
  // continuation byte, truncated or overlong sequence, surrogate, value above
  // U+10FFFF) is written as "@00" and its two hex digits, one byte at a time;
  // reading never goes past the end of the input. Characters above U+FFFF,
  // which the server refuses in names, are written the same way, byte by
  // byte, so they never alias a name the server accepts. Names starting with
  // "#mysql50#" are encoded like any other name.
  static std::string getMySqlHexName(std::string sName);

  // Connection options for the backup tool's command line, from the
  // connection information of an instance:
  //   ""                      -> ""
  //   "/path/to/mysqld.sock"  -> "--socket=/path/to/mysqld.sock"  (starts with '/')
  //   "socket=PATH"           -> "--socket=PATH"
  //   "HOST"                  -> "--host=HOST"
  //   "HOST:PORT"             -> "--host=HOST --port=PORT"
  //   "[IPV6]:PORT", "[IPV6]" -> "--host=IPV6 --port=PORT", "--host=IPV6"
  // Values made of ordinary characters go in as they are; others are
  // single-quoted for the shell, so a value cannot run or expand anything.
  static std::string GetConnectMethod(const std::string& sConnectInfo);
};
