// xbagent: a backup agent for MariaDB built on libXtraBackupUtil.
//
//   xbagent backup ...        stream a backup of the server or one database
//   xbagent restore ...       restore a backup
//   xbagent binlog-info DIR   binary-log coordinates of a backup
//   xbagent encode NAME       the on-disk form of a name
//   xbagent --version [--defaults-file CNF]
//                             versions of xbagent, the library, the backup tool
//                             and, given a defaults file, the server
//   xbagent verify DIR        restore a backup on a throwaway server and check it
//   xbagent info DIR          what a backup holds
//   xbagent list ROOT         the backups under a directory
//   xbagent binlog-archive    copy the server's binary logs for point-in-time restores

#include <atomic>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "Commands.h"
#include "Common.h"
#include "Fs.h"
#include "Log.h"
#include "Sql.h"
#include "Tools.h"

namespace xbagent {

namespace {

// Atomic: the stop watcher reads it on a thread of its own.
std::atomic<int> g_stopSignal{0};

void OnStopSignal(int signal) { g_stopSignal.store(signal); }

struct Command {
  const char* name;
  const char* summary;
  int (*run)(const ArgList& args);
};

const Command kCommands[] = {
    {"backup", "back up the whole server or one database into a backup directory (or stream it "
               "to standard output)", RunBackup},
    {"restore", "restore a backup: --full rebuilds a whole server's data directory, --database "
                "NAME one database in the running server", RunRestore},
    {"binlog-info", "binary-log file number and position recorded in a backup", RunBinlogInfo},
    {"encode", "the on-disk (file-name) form of database or table names", RunEncode},
    {"verify", "restore a backup on a throwaway server and CHECK every table", RunVerify},
    {"info", "what a backup directory holds, in words", RunInfo},
    {"list", "the backups under a directory, newest first", RunList},
    {"binlog-archive", "copy the server's binary logs into a directory, for point-in-time "
                       "restores (restore --binlogs DIR --until ...)", RunBinlogArchive},
};

// What the command line asks for: the versions, or a command.
struct Invocation {
  bool versions = false;
  std::string defaultsFile;  // with --version
  const Command* command = nullptr;
  ArgList args;  // the command's, then the options every command takes given before its name
};

// Throws Failure: kExitUsage for a bad command line, kExitOk after printing
// the help.
Invocation ParseCommandLine(const ArgList& argv) {
  CommandLine cli("", "Backs up and restores a MariaDB server with mariabackup, through "
                      "libXtraBackupUtil.",
                  "Run 'xbagent COMMAND --help' for a command's options.\n\n"
                  "Exit status: 0 success, 1 failure, 2 bad usage, 130 interrupted (SIGINT, SIGTERM).");
  CLI::Option_group* versions = cli->add_option_group("Versions");
  CLI::Option* version =
      versions->add_flag("--version", "print the versions of xbagent, the library and the backup "
                                      "tool, and of the server CNF connects to");
  Invocation invocation;
  versions
      ->add_option("--defaults-file", invocation.defaultsFile,
                   "client settings of the server to ask")
      ->type_name("CNF")
      ->needs(version)
      ->check(NonEmpty("a file"));
  for (const Command& command : kCommands) {
    cli->add_subcommand(command.name, command.summary)->prefix_command();
  }
  cli->add_subcommand("help", "print this help, or with COMMAND that command's help")->prefix_command();
  for (CLI::App* sub : cli->get_subcommands({})) sub->set_help_flag();
  cli->require_subcommand(0, 1);
  cli.Parse(argv);
  const std::vector<CLI::App*> chosen = cli->get_subcommands();
  if (cli.Has("--version")) {
    if (!chosen.empty()) UsageFail("--version takes no command");
    invocation.versions = true;
    return invocation;
  }
  if (chosen.empty()) {
    std::fputs(cli->help().c_str(), stderr);
    throw Failure(kExitUsage, "");
  }
  // "help COMMAND" is "COMMAND --help".
  std::string name = chosen[0]->get_name();
  invocation.args = chosen[0]->remaining();
  if (name == "help") {
    if (invocation.args.empty() || invocation.args[0] == "--help" || invocation.args[0] == "-h") {
      cli.Parse({"--help"});
    }
    if (invocation.args.size() > 1) UsageFail("help takes one command");
    name = invocation.args[0];
    invocation.args = {"--help"};
  }
  for (const Command& command : kCommands) {
    if (name == command.name) invocation.command = &command;
  }
  if (invocation.command == nullptr) {
    UsageFail("unknown command '" + name + "' (see xbagent --help)");
  }
  for (const std::string& option : cli.CommonOptions()) invocation.args.push_back(option);
  return invocation;
}
// The server's version through the defaults file, which must be a readable
// file: the client library would silently ignore anything else.
std::string ServerVersion(const std::string& defaultsFile) {
  CheckDefaultsFile(defaultsFile);
  SqlConnection sql(defaultsFile, "", "");
  return sql.Scalar("SELECT VERSION()");
}

// The first line is "xbagent VERSION"; the library's line names the file
// actually loaded; the tool is the one found on PATH; the server is asked only
// when a defaults file is given, and not reaching it is a failure.
int PrintVersions(const std::string& defaultsFile) {
  std::printf("xbagent %s\n", XTRABACKUP_UTIL_VERSION_STRING);
  std::string file;
  std::string version;
  LibraryVersion(&file, &version);
  std::printf("library: %s (version %s)\n", file.c_str(), version.c_str());
  try {
    ToolDir tools("");
    std::printf("backup tool: %s\n", ToolVersion(tools.path()).c_str());
  } catch (const std::exception& failure) {
    std::printf("backup tool: not available (%s)\n", failure.what());
  }
  int status = kExitOk;
  if (!defaultsFile.empty()) {
    try {
      std::printf("server: %s\n", ServerVersion(defaultsFile).c_str());
    } catch (const std::exception& failure) {
      std::printf("server: not reachable (%s)\n", failure.what());
      status = kExitFailure;
    }
  }
  return std::fflush(stdout) == 0 ? status : kExitFailure;
}

void InstallSignalHandlers() {
  struct sigaction action = {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  // A closed output is seen as EPIPE from write(2), never as a signal.
  struct sigaction ignore = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

}  // namespace

bool StopRequested() { return g_stopSignal.load() != 0; }

}  // namespace xbagent

int main(int argc, char** argv) {
  using namespace xbagent;
  g_ptrLogWriter = LogHandle();
  InstallSignalHandlers();

  Invocation invocation;
  try {
    invocation = ParseCommandLine(ArgList(argv + 1, argv + argc));
  } catch (const Failure& failure) {
    if (!std::string(failure.what()).empty()) {
      Log().Error(std::string("xbagent: usage error: ") + failure.what());
    }
    return failure.code();
  }
  if (invocation.versions) return PrintVersions(invocation.defaultsFile);

  const std::string command = invocation.command->name;
  int status = kExitFailure;
  try {
    status = invocation.command->run(invocation.args);
  } catch (const Failure& failure) {
    status = failure.code();
    if (!std::string(failure.what()).empty()) {
      Log().Error("xbagent " + command + ": " +
                  (status == kExitUsage ? "usage error: " : "error: ") + failure.what());
    }
  } catch (const std::exception& error) {
    status = kExitFailure;
    Log().Error("xbagent " + command + ": error: " + error.what());
  }
  if (status == kExitFailure && StopRequested()) status = kExitInterrupted;
  if (Log().Wants(Verbosity::kVerbose)) {
    struct rusage usage = {};
    ::getrusage(RUSAGE_SELF, &usage);
    char text[160];
    std::snprintf(text, sizeof text, "xbagent: cpu user %.2f s, system %.2f s; peak RSS %ld KiB",
                  static_cast<double>(usage.ru_utime.tv_sec) + usage.ru_utime.tv_usec / 1e6,
                  static_cast<double>(usage.ru_stime.tv_sec) + usage.ru_stime.tv_usec / 1e6,
                  usage.ru_maxrss);
    Log().Detail(Verbosity::kVerbose, text);
  }
  Log().Flush();
  return status;
}
