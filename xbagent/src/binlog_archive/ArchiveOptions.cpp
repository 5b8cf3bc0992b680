// The command line of xbagent binlog-archive.

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "ArchivePhases.h"

namespace xbagent {

ArchiveOptions ParseArchiveOptions(const ArgList& argv) {
  CommandLine cli(
      "binlog-archive",
      "Copies the server's binary logs into DIR as the server writes them (with mariadb-binlog "
      "--read-from-remote-server --raw), for point-in-time restores (restore --binlogs DIR "
      "--until ...). Runs until stopped (SIGINT or SIGTERM).",
      "A rerun resumes: files the index records as checked are kept, the file the last run had "
      "not finished is copied again from its start. Once the server has closed a file, the copy "
      "is checked against the server's size (and its SHA-256, when the server's log directory is "
      "readable here). DIR/index.json lists each file with its size, SHA-256, first and last "
      "event time and GTID, and the time up to which the archive holds every event "
      "(covered_until). A file the server purged before it was archived is a gap: the command "
      "fails.\n\n"
      "Exit status: 0 archived (or stopped by a signal), 1 failure, 2 bad usage.");
  ArchiveOptions options;
  cli->add_option("--defaults-file", options.defaultsFile,
                  "how to connect (its [client] group; the password stays there)")
      ->type_name("CNF")
      ->required()
      ->check(NonEmpty("a file"));
  cli->add_option("--to", options.dir, "the archive directory (created when missing)")
      ->type_name("DIR")
      ->required()
      ->check(NonEmpty("a directory"));
  cli->add_flag("--once", options.once, "copy what the server has now, then exit");
  cli.Parse(argv);
  options.dir = AbsolutePath(options.dir);
  return options;
}

}  // namespace xbagent
