// xbagent encode NAME...: the on-disk (file-name) form of database or table
// names, as the server names their directories and files.

#include <cstdio>
#include <string>
#include <vector>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "JsonDoc.h"
#include "Commands.h"
#include "Common.h"

namespace xbagent {

int RunEncode(const ArgList& argv) {
  CommandLine cli("encode",
                  "Prints, one per line, the name the server gives NAME's directory or files "
                  "(for example my-db -> my@002ddb).");
  std::vector<std::string> given;
  bool json = false;
  cli->add_option("NAME", given, "a database or table name, UTF-8 as written in SQL")
      ->required()
      ->check(CLI::Validator(
          [](std::string& name) { return name.empty() ? "an empty name has no on-disk form" : ""; },
          ""));
  cli->add_flag("--json", json,
                "one JSON object instead: {\"names\": [{\"name\", \"on_disk\"}...]}");
  cli.Parse(argv);
  XtraBackup::XtraBackupUtil util;
  Json names = Json::array();
  for (const std::string& name : given) {
    std::string encoded;
    util.convertSpecialCharsToHexChars(name, encoded);
    if (json) {
      names.push_back({{"name", name}, {"on_disk", encoded}});
    } else {
      std::printf("%s\n", encoded.c_str());
    }
  }
  if (json) std::fputs(JsonText({{"names", names}}).c_str(), stdout);
  return kExitOk;
}

}  // namespace xbagent
