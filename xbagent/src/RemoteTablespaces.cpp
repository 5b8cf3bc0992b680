#include "RemoteTablespaces.h"

#include <algorithm>
#include <cerrno>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common.h"
#include "Fs.h"

namespace xbagent {

namespace {

bool EndsWith(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

// Names in dir; subdirectories only, or regular files only.
std::vector<std::string> Entries(const std::string& dir, bool directories) {
  std::vector<std::string> names;
  DIR* handle = ::opendir(dir.c_str());
  if (handle == nullptr) Fail("cannot read " + dir + ": " + ErrnoText(errno));
  while (struct dirent* entry = ::readdir(handle)) {
    std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat info;
    if (::lstat(JoinPath(dir, name).c_str(), &info) != 0) continue;
    if (directories ? S_ISDIR(info.st_mode) : S_ISREG(info.st_mode)) names.push_back(name);
  }
  ::closedir(handle);
  return names;
}

}  // namespace

std::vector<RemoteTablespace> NeutraliseRemoteTablespaces(const std::string& stagingDir) {
  std::vector<RemoteTablespace> found;
  for (const std::string& database : Entries(stagingDir, true)) {
    const std::string dir = JoinPath(stagingDir, database);
    for (const std::string& name : Entries(dir, false)) {
      if (!EndsWith(name, ".isl")) continue;
      const std::string path = JoinPath(dir, name);
      RemoteTablespace space;
      space.table = database + "/" + name.substr(0, name.size() - 4);
      space.remotePath = Trim(ReadSmallFile(path, 64 * 1024));
      if (::unlink(path.c_str()) != 0) Fail("cannot remove " + path + ": " + ErrnoText(errno));
      found.push_back(space);
    }
  }
  std::sort(found.begin(), found.end(),
            [](const RemoteTablespace& a, const RemoteTablespace& b) { return a.table < b.table; });
  return found;
}

std::string RemotePathProblem(const std::string& path) {
  if (path.empty() || path[0] != '/') return "not an absolute path";
  for (unsigned char c : path) {
    if (c < 0x20 || c == 0x7f) return "a path with a control character";
  }
  if (path.size() < 5 || path.compare(path.size() - 4, 4, ".ibd") != 0) {
    return "a path not ending in .ibd";
  }
  const std::string padded = path + "/";
  for (const char* bad : {"/./", "/../", "//"}) {
    if (padded.find(bad) != std::string::npos) return "a path with an empty, . or .. component";
  }
  if (path.rfind('/') == 0) return "a file in the root directory";
  return std::string();
}

}  // namespace xbagent
