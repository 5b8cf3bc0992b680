#include "RemoteMask.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <set>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../RemoteTablespaces.h"

namespace xbagent {
namespace restore {

namespace {

std::string Parent(const std::string& path) { return path.substr(0, path.rfind('/')); }

bool IsInside(const std::string& dir, const std::string& other) {
  return other.size() > dir.size() && other.compare(0, dir.size(), dir) == 0 &&
         other[dir.size()] == '/';
}

// The staging copy of table "db/name": the tool streams a remote tablespace
// as name.new (renamed to name.ibd by the prepare), or as name.ibd.
std::string StagingCopy(const std::string& staging, const std::string& table) {
  for (const char* ext : {".new", ".ibd"}) {
    const std::string path = JoinPath(staging, table + ext);
    struct stat info;
    if (::lstat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return path;
  }
  return std::string();
}

void CheckDirectories(const std::string& staging, const std::vector<RemoteTablespace>& spaces,
                      const std::set<std::string>& dirs) {
  for (const RemoteTablespace& space : spaces) {
    const std::string problem = RemotePathProblem(space.remotePath);
    if (!problem.empty()) {
      Fail("table " + space.table + ": its .isl names " + space.remotePath + ", " + problem +
           "; nothing was changed");
    }
    if (!IsDirectory(Parent(space.remotePath))) {
      Fail("table " + space.table + " has DATA DIRECTORY " + Parent(space.remotePath) +
           ", which is not a directory on this host; nothing was changed");
    }
  }
  for (const std::string& dir : dirs) {
    if (dir == staging || IsInside(dir, staging)) {
      Fail("the staging directory " + staging + " lies inside the remote tablespace directory " +
           dir + ", which the prepare must not see; nothing was changed");
    }
    for (const std::string& other : dirs) {
      if (IsInside(dir, other)) {
        Fail("the remote tablespace directory " + other + " lies inside another, " + dir +
             "; this restore cannot keep the prepare away from both; nothing was changed");
      }
    }
  }
}

void EnterPrivateNamespace() {
  if (::geteuid() != 0) {
    Fail("the backup holds InnoDB tables with DATA DIRECTORY; preparing it away from the live "
         "server's remote files needs root (a private mount namespace); nothing was changed");
  }
  if (::unshare(CLONE_NEWNS) != 0) {
    Fail("cannot make a private mount namespace for the prepare: " + ErrnoText(errno) +
         "; nothing was changed");
  }
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    Fail("cannot make the mount namespace private: " + ErrnoText(errno) +
         "; nothing was changed");
  }
}

}  // namespace

RemoteMask::RemoteMask(const std::string& staging) {
  try {
    Cover(staging);
  } catch (...) {
    for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
    throw;
  }
}

void RemoteMask::Cover(const std::string& staging) {
  const std::vector<RemoteTablespace> spaces = NeutraliseRemoteTablespaces(staging);
  if (spaces.empty()) return;
  std::set<std::string> dirs;
  for (const RemoteTablespace& space : spaces) dirs.insert(Parent(space.remotePath));
  CheckDirectories(staging, spaces, dirs);
  EnterPrivateNamespace();
  for (const std::string& dir : dirs) {
    if (::mount("xbagent-mask", dir.c_str(), "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC,
                "size=64k,mode=0700") != 0) {
      Fail("cannot cover " + dir + " for the prepare: " + ErrnoText(errno) +
           "; nothing was changed");
    }
    mounts_.push_back(dir);
  }
  for (const RemoteTablespace& space : spaces) {
    const std::string copy = StagingCopy(staging, space.table);
    if (copy.empty()) continue;  // the tool finds no file there, in the cover
    int fd = ::open(space.remotePath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                    0600);
    if (fd < 0 || ::close(fd) != 0 ||
        ::mount(copy.c_str(), space.remotePath.c_str(), nullptr, MS_BIND, nullptr) != 0) {
      Fail("cannot show the staging copy of " + space.table + " at " + space.remotePath +
           " for the prepare: " + ErrnoText(errno) + "; nothing was changed");
    }
    mounts_.push_back(space.remotePath);
    Log().Detail(Verbosity::kVerbose, "the prepare sees " + copy + " at " + space.remotePath);
  }
}

RemoteMask::~RemoteMask() {
  for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it) ::umount2(it->c_str(), MNT_DETACH);
}

void RemoteMask::Release() {
  while (!mounts_.empty()) {
    const std::string path = mounts_.back();
    if (::umount2(path.c_str(), MNT_DETACH) != 0) {
      Fail("cannot remove the cover of " + path + " after the prepare: " + ErrnoText(errno));
    }
    mounts_.pop_back();
  }
}

}  // namespace restore
}  // namespace xbagent
