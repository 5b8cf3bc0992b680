#pragma once

// The subcommands. Each takes the arguments after its name, returns the exit
// status, and throws Failure for the one error line main prints.

#include <string>
#include <vector>

namespace xbagent {

using ArgList = std::vector<std::string>;

int RunBackup(const ArgList& args);
// "restore": chooses between the whole-server and the one-database restore.
int RunRestore(const ArgList& args);
int RunRestoreFull(const ArgList& args);
int RunRestoreDatabase(const ArgList& args);
int RunBinlogInfo(const ArgList& args);
int RunEncode(const ArgList& args);
int RunVerify(const ArgList& args);
int RunInfo(const ArgList& args);
int RunList(const ArgList& args);
int RunBinlogArchive(const ArgList& args);

// Set by SIGINT, SIGTERM and SIGHUP; long loops check it and stop cleanly.
bool StopRequested();

}  // namespace xbagent
