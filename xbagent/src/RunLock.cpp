#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "Common.h"
#include "Fs.h"
#include "Log.h"
#include "Sha256.h"

namespace xbagent {

namespace {

std::string ReadAll(int fd) {
  std::string text;
  char buffer[512];
  ssize_t n = 0;
  while ((n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0) {
    text.append(buffer, static_cast<size_t>(n));
    if (text.size() > 4096) break;
  }
  return text;
}

// "pid N (COMMAND), started at TIME" from the file's lines.
std::string Holder(const std::string& text, std::string* pid) {
  std::string command, started;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(start, end - start);
    const size_t eq = line.find('=');
    if (eq != std::string::npos) {
      const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
      if (key == "pid") *pid = value;
      if (key == "command") command = value;
      if (key == "started") started = value;
    }
    start = end + 1;
  }
  return "pid " + (pid->empty() ? std::string("unknown") : *pid) + " (" + command +
         "), started at " + started;
}

std::string Command() {
  std::string args;
  try {
    args = ReadSmallFile("/proc/self/cmdline", 4096);
  } catch (const Failure&) {
    return "xbagent";
  }
  for (char& c : args) {
    if (c == '\0') c = ' ';
  }
  return Trim(args).substr(0, 200);
}

}  // namespace

std::string RunLockDirectory() {
  const char* dir = std::getenv("XBAGENT_LOCK_DIR");
  return dir != nullptr && *dir != '\0' ? dir : "/run/lock/xbagent";
}

RunLock::RunLock(const std::string& key, const std::string& what) {
  const std::string dir = RunLockDirectory();
  // Made with its parents (a system without /run/lock has none).
  for (size_t slash = 1; slash != std::string::npos;) {
    slash = dir.find('/', slash + 1);
    const std::string part = dir.substr(0, slash);
    if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
      Fail("cannot create the lock directory " + part + ": " + ErrnoText(errno) +
           " (XBAGENT_LOCK_DIR names another)");
    }
  }
  const std::string path = JoinPath(dir, Sha256OfText(key).substr(0, 24) + ".lock");
  fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd_ < 0) Fail("cannot open the lock file " + path + ": " + ErrnoText(errno));
  std::string pid;
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    const std::string holder = Holder(ReadAll(fd_), &pid);
    ::close(fd_);
    fd_ = -1;
    if (error != EWOULDBLOCK) Fail("cannot lock " + path + ": " + ErrnoText(error));
    Fail("another xbagent run holds the lock of " + what + ": " + holder + " (lock file " + path +
         "); wait for it to end, or stop it");
  }
  const std::string left = ReadAll(fd_);
  if (!Trim(left).empty()) {
    const std::string holder = Holder(left, &pid);
    Log().Notice("xbagent: taking over the lock of " + what + " from " + holder +
                 ", which no longer runs");
  }
  const std::string text = "pid=" + std::to_string(::getpid()) + "\ncommand=" + Command() +
                           "\nstarted=" + UtcTimestamp() + "\nwhat=" + what + "\n";
  if (::ftruncate(fd_, 0) != 0 || ::pwrite(fd_, text.data(), text.size(), 0) < 0) {
    Log().Notice("xbagent: warning: cannot write the lock file " + path + ": " + ErrnoText(errno));
  }
}

RunLock::~RunLock() {
  if (fd_ < 0) return;
  // Emptied before it is unlocked: the next run finds no holder to take
  // over from.
  if (::ftruncate(fd_, 0) != 0) {
  }
  ::close(fd_);
}

}  // namespace xbagent
