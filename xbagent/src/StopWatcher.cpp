#include "StopWatcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "Commands.h"

namespace xbagent {

namespace {

// The parent of process pid from /proc/PID/stat, or -1; its state letter
// in *state when asked.
pid_t ParentOf(pid_t pid, char* state = nullptr) {
  const std::string path = "/proc/" + std::to_string(pid) + "/stat";
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return -1;
  char text[512];
  const ssize_t n = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  if (n <= 0) return -1;
  text[n] = '\0';
  // "pid (comm) state ppid ...": comm may hold anything; parse from the last ')'.
  const char* close = std::strrchr(text, ')');
  if (close == nullptr || std::strlen(close) < 5) return -1;
  if (state != nullptr) *state = close[2];
  return static_cast<pid_t>(std::strtol(close + 4, nullptr, 10));
}

// (pid, parent) of every process.
std::vector<std::pair<pid_t, pid_t>> ProcessLinks() {
  std::vector<std::pair<pid_t, pid_t>> links;
  if (DIR* dir = ::opendir("/proc")) {
    while (const struct dirent* entry = ::readdir(dir)) {
      if (entry->d_name[0] < '1' || entry->d_name[0] > '9') continue;
      const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
      const pid_t parent = ParentOf(pid);
      if (parent > 0) links.emplace_back(pid, parent);
    }
    ::closedir(dir);
  }
  return links;
}

// A pidfd for pid if it is (still) a child of parent, else -1: the pidfd
// pins the process, and a process that was replaced meanwhile gives ESRCH
// when signalled.
int PidfdIfChildOf(pid_t pid, pid_t parent) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u));
  if (pidfd < 0 || ParentOf(pid) == parent) return pidfd;
  ::close(pidfd);
  return -1;
}

// Pins, through a pidfd each, every process this process started and what
// they started (a pid reused meanwhile is never taken); the caller closes
// them. *running tells whether one of them has not ended (a zombie has).
std::vector<int> PinOwnTree(bool* running) {
  const std::vector<std::pair<pid_t, pid_t>> links = ProcessLinks();
  std::vector<int> pidfds;
  std::vector<pid_t> frontier{::getpid()};
  *running = false;
  while (!frontier.empty()) {
    const pid_t parent = frontier.back();
    frontier.pop_back();
    for (const auto& link : links) {
      if (link.second != parent) continue;
      const int pidfd = PidfdIfChildOf(link.first, parent);
      if (pidfd < 0) continue;
      char state = 'Z';
      if (ParentOf(link.first, &state) == parent && state != 'Z') *running = true;
      pidfds.push_back(pidfd);
      frontier.push_back(link.first);
    }
  }
  return pidfds;
}

bool OwnToolsRun() {
  bool running = false;
  for (int pidfd : PinOwnTree(&running)) ::close(pidfd);
  return running;
}

}  // namespace

void SignalOwnTools(int signal) {
  // Every process of the tree is pinned before any is signalled: a parent
  // that dies first must not orphan its children out of the tree.
  bool running = false;
  const std::vector<int> pidfds = PinOwnTree(&running);
  for (int pidfd : pidfds) {
    ::syscall(SYS_pidfd_send_signal, pidfd, signal, nullptr, 0u);
    ::close(pidfd);
  }
}

StopWatcher::StopWatcher(LibMySqlProcess::MySqlChildProcess* child) : child_(child) {
  // A tool whose parent ends first (a shell stopped before the tool it runs)
  // stays in this process's tree, where a stop still reaches it.
  if (child_ == nullptr) ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
  // The stop signals keep going to the threads that were there before.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  try {
    thread_ = std::thread([this] { Watch(); });
  } catch (...) {
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    throw;
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

StopWatcher::~StopWatcher() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    done_ = true;
  }
  wake_.notify_all();
  thread_.join();
  // A call may return on the stop before its tools have ended (a read cut
  // short by the signal): they end before the caller removes their files.
  const auto start = std::chrono::steady_clock::now();
  while (child_ == nullptr && StopRequested() && OwnToolsRun()) {
    const auto spent = std::chrono::steady_clock::now() - start;
    if (spent > std::chrono::milliseconds(kGiveUpMs)) break;
    SignalOwnTools(spent < std::chrono::milliseconds(kKillAfterMs) ? SIGTERM : SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void StopWatcher::Watch() {
  const auto poll = std::chrono::milliseconds(kPollMs);
  std::unique_lock<std::mutex> lock(mutex_);
  while (!wake_.wait_for(lock, poll, [this] { return done_ || StopRequested(); })) {
  }
  // Every tool the call still starts is stopped too; one that ignores
  // SIGTERM must not hold the stop for long.
  const auto killAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(kKillAfterMs);
  while (!done_) {
    const int signal = std::chrono::steady_clock::now() < killAt ? SIGTERM : SIGKILL;
    if (child_ != nullptr) {
      child_->Kill(signal);
    } else {
      SignalOwnTools(signal);
    }
    wake_.wait_for(lock, poll, [this] { return done_; });
  }
}

}  // namespace xbagent
