// xbagent restore: picks the whole-server restore (--full) or the
// one-database restore (--database NAME).

#include <string>

#include "Args.h"
#include "Commands.h"
#include "Common.h"

namespace xbagent {

namespace {

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
    CommandLine cli("restore", "Restores a backup: a whole server into a new data directory, or "
                               "one database into the running server.",
                    "Run 'xbagent restore --full --help' or 'xbagent restore --database X "
                    "--help' for the options of each form.");
    CLI::Option_group* form = cli->add_option_group("Form");
    form->require_option(1);
    form->add_flag("--full", "rebuild a whole server's data directory from a server backup");
    form->add_option("--database", "restore one database into a running server")
        ->type_name("NAME");
    cli->add_option("--binlogs", "(either form, with --until TIME or --until-gtid GTID) then "
                                 "replay an archive of binlog-archive up to that moment")
        ->type_name("DIR");
    cli.Parse({"--help"});
  }
  UsageFail("restore needs --full (whole server) or --database NAME (see restore --help)");
}

}  // namespace xbagent
