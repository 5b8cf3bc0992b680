// The command line of xbagent binlog-archive.

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "ArchivePhases.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent binlog-archive --defaults-file CNF --to DIR [--once]\n"
    "                              [-v | -q] [--log FILE]\n"
    "\n"
    "Copies the server's binary logs into DIR as the server writes them (with\n"
    "mariadb-binlog --read-from-remote-server --raw), for point-in-time restores\n"
    "(restore --binlogs DIR --until ...). Runs until stopped (SIGINT or SIGTERM).\n"
    "\n"
    "  --defaults-file CNF   how to connect (its [client] group; the password stays there)\n"
    "  --to DIR              the archive directory (created when missing)\n"
    "  --once                copy what the server has now, then exit\n"
    "\n"
    "A rerun resumes: files the index records as checked are kept, the file the\n"
    "last run had not finished is copied again from its start. Once the server has\n"
    "closed a file, the copy is checked against the server's size (and its SHA-256,\n"
    "when the server's log directory is readable here). DIR/index.json lists each\n"
    "file with its size, SHA-256, first and last event time and GTID, and the time\n"
    "up to which the archive holds every event (covered_until).\n"
    "A file the server purged before it was archived is a gap: the command fails.\n"
    "Exit status: 0 archived (or stopped by a signal), 1 failure, 2 bad usage.\n";

}  // namespace

ArchiveOptions ParseArchiveOptions(const ArgList& argv) {
  Args args(kUsage, {{"--defaults-file", true}, {"--to", true}, {"--once", false}}, argv);
  if (!args.Positional().empty()) UsageFail("unexpected argument '" + args.Positional()[0] + "'");
  ArchiveOptions options;
  options.defaultsFile = args.Value("--defaults-file");
  if (options.defaultsFile.empty()) UsageFail("--defaults-file CNF is required");
  if (args.Value("--to").empty()) UsageFail("--to DIR is required");
  options.dir = AbsolutePath(args.Value("--to"));
  options.once = args.Has("--once");
  return options;
}

}  // namespace xbagent
