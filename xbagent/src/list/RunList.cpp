// xbagent list ROOT: the backups under a directory (ROOT itself and up to
// three levels below it), newest first.

#include <algorithm>
#include <cstdio>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

#include "../Args.h"
#include "../Commands.h"
#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../info/BackupFacts.h"

namespace xbagent {

namespace {

constexpr int kMaxDepth = 3;

void FindBackups(const std::string& dir, int depth, std::vector<BackupFacts>* found) {
  if (StopRequested()) Fail("interrupted");
  if (PathExists(JoinPath(dir, kManifestFile))) {
    try {
      found->push_back(ReadBackupFacts(dir));
    } catch (const Failure& failure) {
      Log().Notice("xbagent list: skipped " + dir + ": " + failure.what());
    }
    return;
  }
  if (depth >= kMaxDepth) return;
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) {
    if (depth == 0) Fail("cannot read " + dir);
    return;
  }
  std::vector<std::string> children;
  while (struct dirent* entry = ::readdir(handle)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    std::string path = JoinPath(dir, name);
    if (::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) children.push_back(path);
  }
  ::closedir(handle);
  std::sort(children.begin(), children.end());
  for (const std::string& child : children) FindBackups(child, depth + 1, found);
}

Json Entry(const BackupFacts& facts) {
  Json verification;
  if (!facts.verification.is_null()) {
    verification = {{"verdict", Member(facts.verification, "verdict")},
                    {"verified_at", Member(facts.verification, "verified_at")}};
  }
  const bool one = facts.manifest.kind == "database";
  return {{"directory", facts.directory},
          {"kind", facts.manifest.kind},
          {"database", one ? Json(facts.manifest.database) : Json()},
          {"size", facts.manifest.streamSize},
          {"started_at", facts.startedAt},
          {"binlog", Member(facts.manifest.document, "binlog")},
          {"verification", verification}};
}

void PrintTable(const std::vector<BackupFacts>& backups) {
  std::printf("%-20s  %-8s  %-16s  %10s  %-26s  %-29s  %s\n", "TIME", "KIND", "DATABASE", "SIZE",
              "BINLOG", "VERIFIED", "DIRECTORY");
  for (const BackupFacts& facts : backups) {
    const bool one = facts.manifest.kind == "database";
    std::printf("%-20s  %-8s  %-16s  %10s  %-26s  %-29s  %s\n", facts.startedAt.c_str(),
                facts.manifest.kind.c_str(), one ? facts.manifest.database.c_str() : "-",
                HumanBytes(facts.manifest.streamSize).c_str(), Coordinates(facts).c_str(),
                LastVerification(facts).c_str(), facts.directory.c_str());
  }
}

}  // namespace

int RunList(const ArgList& argv) {
  CommandLine cli("list",
                  "Lists the backup directories (those with a manifest.json) in ROOT and up to "
                  "three levels below it, newest first: time, kind, database, stream size, "
                  "binary-log coordinates, last verification, directory. Symbolic links are not "
                  "followed; a directory whose manifest cannot be read is named on standard error "
                  "and skipped.",
                  "Exit status: 0 success (also when there are none), 1 ROOT unreadable, 2 bad "
                  "usage.");
  std::string given;
  bool json = false;
  cli->add_option("ROOT", given, "the directory to search")->required();
  cli->add_flag("--json", json,
                "print an array of {directory, kind, database, size, started_at, binlog, "
                "verification}");
  cli.Parse(argv);
  const std::string root = StripTrailingSlashes(AbsolutePath(given));
  if (!IsDirectory(root)) Fail(root + " is not a directory");
  std::vector<BackupFacts> backups;
  FindBackups(root, 0, &backups);
  std::stable_sort(backups.begin(), backups.end(), [](const BackupFacts& a, const BackupFacts& b) {
    return a.startedAt != b.startedAt ? a.startedAt > b.startedAt : a.directory < b.directory;
  });
  if (json) {
    Json out = Json::array();
    for (const BackupFacts& facts : backups) out.push_back(Entry(facts));
    std::fputs(JsonText(out).c_str(), stdout);
  } else {
    PrintTable(backups);
  }
  std::fflush(stdout);
  return kExitOk;
}

}  // namespace xbagent
