// The command line of xbagent verify.

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "VerifyPhases.h"

namespace xbagent {

VerifyOptions ParseVerifyOptions(const ArgList& argv) {
  CommandLine cli(
      "verify", "Restores the backup in DIR for real on a throwaway server and checks every table.",
      "Whole-server backup: checks the stream's size and SHA-256 against the manifest, extracts "
      "and prepares it in a scratch directory, starts a server of the same version on the copy "
      "(no network, its own socket, grant tables skipped), runs CHECK TABLE on every table and "
      "compares the tables and their engines with the manifest. One-database backup: a fresh "
      "scratch server gets the database through 'xbagent restore --database' (schema, then the "
      "tables imported), then the same checks. The server is stopped and the scratch directory "
      "removed in every case.\n\n"
      "The result (time, verdict, duration, a result per table) is written to DIR/verify.json, "
      "which no checksum of the manifest covers. Per table: OK, CORRUPT (CHECK TABLE's words), "
      "MISSING (in the manifest, not restored), ENGINE (another engine than the manifest's), "
      "EXTRA (not in the manifest), SKIPPED (an engine a one-database restore cannot bring "
      "back), UNCHECKED (the server stopped before it).\n\n"
      "Exit status: 0 every table OK, 1 anything else, 2 bad usage.");
  VerifyOptions options;
  std::string dir;
  cli->add_option("DIR", dir, "the backup directory")->required();
  cli->add_flag("--json", options.json, "print the result as JSON instead of a line per table");
  cli->add_option("--scratch-dir", options.scratchParent,
                  "where to make the scratch directory (default: $TMPDIR or /tmp); it needs room "
                  "for the whole restored copy")
      ->type_name("DIR")
      ->check(CLI::Validator(
          [](std::string& path) {
            if (path.empty()) return std::string("needs a directory");
            return IsDirectory(path) ? std::string() : path + " is not a directory";
          },
          ""));
  cli->add_option("--tool-dir", options.toolDir,
                  "directory with xtrabackup and xbstream links (default: PATH)")
      ->type_name("DIR");
  cli->add_option("--encrypt-key-file", options.keyFile, "the key of an encrypted backup")
      ->type_name("FILE");
  cli.Parse(argv);
  options.backupDir = AbsolutePath(dir);
  if (!options.scratchParent.empty()) options.scratchParent = AbsolutePath(options.scratchParent);
  return options;
}

}  // namespace xbagent
