// mariadb-binlog refuses a defaults file with client settings it does not
// know (default-character-set, say): it gets only the connection settings
// of the user's client groups, through a pipe. The password never appears on
// a command line nor in a file of ours.

#include <cerrno>
#include <set>
#include <sstream>

#include <sys/stat.h>
#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "../Tools.h"
#include "ArchivePhases.h"

namespace xbagent {

namespace {

const std::set<std::string> kGroups = {"client", "client-server", "client-mariadb", "mysqlbinlog",
                                       "mariadb-binlog"};
const std::set<std::string> kKeys = {
    "host", "port", "socket", "user", "password", "protocol", "ssl", "ssl-ca", "ssl-capath",
    "ssl-cert", "ssl-cipher", "ssl-key", "ssl-crl", "ssl-crlpath", "ssl-verify-server-cert",
    "plugin-dir", "default-auth"};

std::string KeyOf(const std::string& line) {
  std::string key = Trim(line.substr(0, line.find('=')));
  for (char& c : key) {
    if (c == '_') c = '-';
  }
  return key;
}

}  // namespace

std::string ConnectionSettings(const std::string& defaultsText) {
  std::istringstream lines(defaultsText);
  std::string line;
  bool inClientGroup = false;
  std::string out = "[client]\n";
  while (std::getline(lines, line)) {
    std::string text = Trim(line);
    if (text.empty() || text[0] == '#' || text[0] == ';') continue;
    if (text[0] == '[') {
      size_t end = text.find(']');
      inClientGroup = end != std::string::npos && kGroups.count(Trim(text.substr(1, end - 1))) != 0;
      continue;
    }
    if (text[0] == '!') {
      Fail("the defaults file includes other files (" + text +
           "); give binlog-archive a defaults file with the connection settings in it");
    }
    if (inClientGroup && kKeys.count(KeyOf(text)) != 0) out += text + "\n";
  }
  return out;
}

ClientSettings::ClientSettings(const std::string& defaultsFile) {
  CheckDefaultsFile(defaultsFile);
  text_ = ConnectionSettings(ReadSmallFile(defaultsFile, 1 << 20));
}

}  // namespace xbagent
