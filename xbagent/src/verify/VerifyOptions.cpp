// The command line of xbagent verify.

#include "../Args.h"
#include "../Common.h"
#include "../Fs.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent verify DIR [--json] [--scratch-dir DIR] [--tool-dir DIR]\n"
    "                      [--encrypt-key-file FILE] [-v | -q] [--log FILE]\n"
    "\n"
    "Restores the backup in DIR for real on a throwaway server and checks every table.\n"
    "\n"
    "Whole-server backup: checks the stream's size and SHA-256 against the manifest,\n"
    "extracts and prepares it in a scratch directory, starts a server of the same\n"
    "version on the copy (no network, its own socket, grant tables skipped), runs\n"
    "CHECK TABLE on every table and compares the tables and their engines with the\n"
    "manifest. One-database backup: a fresh scratch server gets the database through\n"
    "'xbagent restore --database' (schema, then the tables imported), then the same\n"
    "checks. The server is stopped and the scratch directory removed in every case.\n"
    "\n"
    "  --json             print the result as JSON instead of a line per table\n"
    "  --scratch-dir DIR  where to make the scratch directory (default: $TMPDIR or /tmp);\n"
    "                     it needs room for the whole restored copy\n"
    "  --tool-dir DIR     directory with xtrabackup and xbstream links (default: PATH)\n"
    "  --encrypt-key-file FILE  the key of an encrypted backup\n"
    "\n"
    "The result (time, verdict, duration, a result per table) is written to DIR/" "verify.json,\n"
    "which no checksum of the manifest covers.\n"
    "Per table: OK, CORRUPT (CHECK TABLE's words), MISSING (in the manifest, not\n"
    "restored), ENGINE (another engine than the manifest's), EXTRA (not in the\n"
    "manifest), SKIPPED (an engine a one-database restore cannot bring back),\n"
    "UNCHECKED (the server stopped before it).\n"
    "Exit status: 0 every table OK, 1 anything else, 2 bad usage.\n";

}  // namespace

VerifyOptions ParseVerifyOptions(const ArgList& argv) {
  Args args(kUsage, {{"--json", false}, {"--scratch-dir", true}, {"--tool-dir", true},
                     {"--encrypt-key-file", true}},
            argv);
  if (args.Positional().size() != 1) UsageFail("verify needs one backup directory (DIR)");
  VerifyOptions options;
  options.backupDir = AbsolutePath(args.Positional()[0]);
  options.toolDir = args.Value("--tool-dir");
  options.json = args.Has("--json");
  options.keyFile = args.Value("--encrypt-key-file");
  if (args.Has("--scratch-dir")) {
    if (args.Value("--scratch-dir").empty()) UsageFail("--scratch-dir needs a directory");
    options.scratchParent = AbsolutePath(args.Value("--scratch-dir"));
    if (!IsDirectory(options.scratchParent)) {
      UsageFail("--scratch-dir " + options.scratchParent + " is not a directory");
    }
  }
  return options;
}

}  // namespace xbagent
