// xbagent restore: picks the whole-server restore (--full) or the
// one-database restore (--database NAME).

#include <cstdio>
#include <string>

#include "Commands.h"
#include "Common.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent restore --full --from DIR --target-datadir NEWDIR [OPTIONS]\n"
    "       xbagent restore --database NAME --from DIR [--replace] [OPTIONS]\n"
    "\n"
    "  --full           rebuild a whole server's data directory from a server backup\n"
    "  --database NAME  restore one database into a running server\n"
    "  --binlogs DIR    (either form, with --until TIME or --until-gtid GTID) then replay\n"
    "                   an archive of binlog-archive up to that moment\n"
    "\n"
    "Run 'xbagent restore --full --help' or 'xbagent restore --database X --help' for\n"
    "the options of each form.\n";

bool HasOption(const ArgList& args, const std::string& name) {
  for (const std::string& arg : args) {
    if (arg == "--") break;
    if (arg == name || arg.compare(0, name.size() + 1, name + "=") == 0) return true;
  }
  return false;
}

}  // namespace

int RunRestore(const ArgList& args) {
  const bool full = HasOption(args, "--full");
  const bool database = HasOption(args, "--database");
  if (full && database) UsageFail("--full and --database exclude each other");
  if (full) return RunRestoreFull(args);
  if (database) return RunRestoreDatabase(args);
  if (HasOption(args, "--help") || HasOption(args, "-h")) {
    std::fputs(kUsage, stdout);
    return kExitOk;
  }
  UsageFail("restore needs --full (whole server) or --database NAME (see restore --help)");
}

}  // namespace xbagent
