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

const char kUsage[] =
    "usage: xbagent COMMAND [OPTIONS]\n"
    "\n"
    "Backs up and restores a MariaDB server with mariabackup, through libXtraBackupUtil.\n"
    "\n"
    "Commands:\n"
    "  backup        back up the whole server or one database into a backup directory\n"
    "                (or stream it to standard output)\n"
    "  restore       restore a backup: --full rebuilds a whole server's data directory\n"
    "  binlog-info   binary-log file number and position recorded in a backup\n"
    "  encode        the on-disk (file-name) form of database or table names\n"
    "  verify        restore a backup on a throwaway server and CHECK every table\n"
    "  info          what a backup directory holds, in words\n"
    "  list          the backups under a directory, newest first\n"
    "  binlog-archive  copy the server's binary logs into a directory, for\n"
    "                point-in-time restores (restore --binlogs DIR --until ...)\n"
    "\n"
    "Run 'xbagent COMMAND --help' for a command's options. Every command takes\n"
    "-v (-vv, -vvv) for more detail, -q for errors only, --log FILE to send the\n"
    "detail to a file.\n"
    "\n"
    "'xbagent --version [--defaults-file CNF]' prints the versions of xbagent,\n"
    "the library and the backup tool, and of the server CNF connects to.\n"
    "\n"
    "Exit status: 0 success, 1 failure, 2 bad usage.\n";

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

  if (argc >= 2 && std::string(argv[1]) == "--version") {
    if (argc == 2) return PrintVersions("");
    if (argc == 4 && std::string(argv[2]) == "--defaults-file") return PrintVersions(argv[3]);
    std::fputs("usage: xbagent --version [--defaults-file CNF]\n", stderr);
    return kExitUsage;
  }

  std::vector<std::string> args(argv + 1, argv + argc);
  // Common options may also come before the command name.
  std::vector<std::string> leading;
  while (!args.empty() && args.front().size() > 1 && args.front()[0] == '-' &&
         args.front() != "--help" && args.front() != "-h") {
    leading.push_back(args.front());
    args.erase(args.begin());
    if (leading.back() == "--log" && !args.empty()) {
      leading.push_back(args.front());
      args.erase(args.begin());
    }
  }
  if (args.empty() || args.front() == "help" || args.front() == "--help" ||
      args.front() == "-h") {
    std::fputs(kUsage, args.empty() ? stderr : stdout);
    return args.empty() ? kExitUsage : kExitOk;
  }
  std::string command = args.front();
  args.erase(args.begin());
  args.insert(args.end(), leading.begin(), leading.end());

  int status = kExitFailure;
  try {
    if (command == "backup") {
      status = RunBackup(args);
    } else if (command == "restore") {
      status = RunRestore(args);
    } else if (command == "binlog-info") {
      status = RunBinlogInfo(args);
    } else if (command == "encode") {
      status = RunEncode(args);
    } else if (command == "verify") {
      status = RunVerify(args);
    } else if (command == "info") {
      status = RunInfo(args);
    } else if (command == "list") {
      status = RunList(args);
    } else if (command == "binlog-archive") {
      status = RunBinlogArchive(args);
    } else {
      UsageFail("unknown command '" + command + "' (see xbagent --help)");
    }
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
