// xbagent encode NAME...: the on-disk (file-name) form of database or table
// names, as the server names their directories and files.

#include <cstdio>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "JsonDoc.h"
#include "Commands.h"
#include "Common.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent encode [--json] NAME...\n"
    "\n"
    "Prints, one per line, the name the server gives NAME's directory or files\n"
    "(for example my-db -> my@002ddb). NAME is UTF-8 as written in SQL.\n"
    "\n"
    "  --json   one JSON object instead: {\"names\": [{\"name\", \"on_disk\"}...]}\n";

}  // namespace

int RunEncode(const ArgList& argv) {
  Args args(kUsage, {{"--json", false}}, argv);
  if (args.Positional().empty()) UsageFail("encode needs at least one NAME");
  XtraBackup::XtraBackupUtil util;
  Json names = Json::array();
  for (const std::string& name : args.Positional()) {
    if (name.empty()) UsageFail("an empty name has no on-disk form");
    std::string encoded;
    util.convertSpecialCharsToHexChars(name, encoded);
    if (args.Has("--json")) {
      names.push_back({{"name", name}, {"on_disk", encoded}});
    } else {
      std::printf("%s\n", encoded.c_str());
    }
  }
  if (args.Has("--json")) std::fputs(JsonText({{"names", names}}).c_str(), stdout);
  return kExitOk;
}

}  // namespace xbagent
