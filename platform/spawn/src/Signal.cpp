#include <ChildSpawn/Signal.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include <ChildSpawn/Fd.h>

#include "SysCalls.h"

namespace childspawn {

namespace {

// The parent of process pid from /proc/PID/stat, or -1.
pid_t ParentOf(const char* pidText) noexcept {
  char path[64];
  if (std::strlen(pidText) > 20) return -1;
  std::strcpy(path, "/proc/");
  std::strcat(path, pidText);
  std::strcat(path, "/stat");
  UniqueFd fd(sys::Open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return -1;
  char text[512];
  const ssize_t n = ReadRetry(fd.Get(), text, sizeof text - 1);
  if (n <= 0) return -1;
  text[n] = '\0';
  // "pid (comm) state ppid ...": comm may hold anything, so parse from the
  // last ')'.
  const char* close = std::strrchr(text, ')');
  if (close == nullptr || close[1] != ' ' || close[2] == '\0' || close[3] != ' ') return -1;
  return static_cast<pid_t>(std::strtol(close + 4, nullptr, 10));
}

// Every process below the roots, found by walking parent links in /proc.
std::vector<pid_t> Descendants(std::vector<pid_t> frontier) {
  std::vector<std::pair<pid_t, pid_t>> links;  // (pid, parent)
  if (DIR* dir = ::opendir("/proc")) {
    while (const struct dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
      const pid_t parent = ParentOf(entry->d_name);
      if (parent > 0) links.emplace_back(static_cast<pid_t>(std::atol(entry->d_name)), parent);
    }
    ::closedir(dir);
  }
  std::vector<pid_t> found;
  while (!frontier.empty()) {
    const pid_t parent = frontier.back();
    frontier.pop_back();
    for (const auto& link : links) {
      if (link.second == parent) {
        found.push_back(link.first);
        frontier.push_back(link.first);
      }
    }
  }
  return found;
}

// Signals the child itself: through its pidfd when there is one, so that a
// child someone else reaped is never mistaken for a process reusing its pid.
int SignalChild(pid_t pid, int pidfd, int signal) noexcept {
  if (pidfd >= 0) return sys::PidfdSendSignal(pidfd, signal) == 0 ? 0 : errno;
  return sys::Kill(pid, signal) == 0 ? 0 : errno;
}

// Signals root and its descendants as found before any of them is
// signalled (the root first: a shell whose tool died first would otherwise
// exit normally before its own signal arrived), then once more whatever the
// signalled processes started meanwhile.
int SignalTree(pid_t root, int rootPidfd, int signal) {
  std::vector<pid_t> signalled{root};
  std::vector<pid_t> found = Descendants({root});
  const int result = SignalChild(root, rootPidfd, signal);
  if (result == ESRCH) return result;  // reaped: its pid may name another process
  for (int pass = 0; pass < 2; ++pass) {
    for (pid_t pid : found) {
      if (std::find(signalled.begin(), signalled.end(), pid) != signalled.end()) continue;
      sys::Kill(pid, signal);  // it may have exited meanwhile
      signalled.push_back(pid);
    }
    if (pass == 0) found = Descendants(signalled);
  }
  return result;
}

}  // namespace

int SignalChildTree(const ChildHandles& handles, int signal) noexcept {
  if (handles.pid <= 0) return ESRCH;
  // The caller has not reaped the child, so its pid (and its group's id)
  // cannot have been reused; the pidfd also rules out a host that reaped it
  // behind our back (signal 0 only checks that it is still there).
  if (handles.ownGroup) {
    if (handles.pidfd >= 0 && SignalChild(handles.pid, handles.pidfd, 0) != 0) return ESRCH;
    return sys::Kill(-handles.pid, signal) == 0 ? 0 : errno;
  }
  try {
    return SignalTree(handles.pid, handles.pidfd, signal);
  } catch (...) {
    // Out of memory: the child itself is still signalled.
    return SignalChild(handles.pid, handles.pidfd, signal);
  }
}

}  // namespace childspawn
