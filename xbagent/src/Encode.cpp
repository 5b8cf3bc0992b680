// xbagent encode NAME...: the on-disk (file-name) form of database or table
// names, as the server names their directories and files.

#include <cstdio>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "Commands.h"
#include "Common.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent encode NAME...\n"
    "\n"
    "Prints, one per line, the name the server gives NAME's directory or files\n"
    "(for example my-db -> my@002ddb). NAME is UTF-8 as written in SQL.\n";

}  // namespace

int RunEncode(const ArgList& argv) {
  Args args(kUsage, {}, argv);
  if (args.Positional().empty()) UsageFail("encode needs at least one NAME");
  XtraBackup::XtraBackupUtil util;
  for (const std::string& name : args.Positional()) {
    if (name.empty()) UsageFail("an empty name has no on-disk form");
    std::string encoded;
    util.convertSpecialCharsToHexChars(name, encoded);
    std::printf("%s\n", encoded.c_str());
  }
  return kExitOk;
}

}  // namespace xbagent
