// Running the server and its helpers: fork and exec with an argument vector
// (never a shell), output to a file, waits with a bound.

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <deque>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

int DecodeStatus(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

void SleepSeconds(double seconds) {
  struct timespec pause = {0, static_cast<long>(seconds * 1e9)};
  ::nanosleep(&pause, nullptr);
}

}  // namespace

pid_t StartChild(const std::vector<std::string>& argv, const std::string& outputFile, bool detach) {
  if (argv.empty()) Fail("nothing to run");
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  // Opened before the fork: the child only dups and execs.
  int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  int out = ::open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (in < 0 || out < 0) {
    int err = errno;
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    Fail("cannot open " + outputFile + ": " + ErrnoText(err));
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    if (detach) ::setsid();
    struct sigaction deflt = {};
    deflt.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(sig, &deflt, nullptr);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(out, 2);
    ::execv(args[0], args.data());
    const char message[] = "xbagent: cannot run the program\n";
    ssize_t ignored = ::write(2, message, sizeof message - 1);
    (void)ignored;
    ::_exit(127);
  }
  int err = errno;
  ::close(in);
  ::close(out);
  if (pid < 0) Fail("cannot start " + argv[0] + ": " + ErrnoText(err));
  return pid;
}

bool ChildExited(pid_t pid, int* status) {
  int raw = 0;
  pid_t done = ::waitpid(pid, &raw, WNOHANG);
  if (done == pid) {
    *status = DecodeStatus(raw);
    return true;
  }
  if (done < 0 && errno == ECHILD) {
    *status = -1;
    return true;
  }
  return false;
}

int WaitChild(pid_t pid, double timeoutSeconds) {
  const double started = MonotonicSeconds();
  int status = 0;
  while (!ChildExited(pid, &status)) {
    if (StopRequested() || MonotonicSeconds() - started > timeoutSeconds) {
      ::kill(pid, SIGTERM);
      const double termSent = MonotonicSeconds();
      while (!ChildExited(pid, &status)) {
        if (MonotonicSeconds() - termSent > 10) ::kill(pid, SIGKILL);
        SleepSeconds(0.05);
      }
      return -1;
    }
    SleepSeconds(0.05);
  }
  return status;
}

std::string TailLines(const std::string& path, const std::string& marker, size_t lines) {
  if (!PathExists(path)) return std::string();
  std::deque<std::string> kept;
  std::string pending;
  auto take = [&](const std::string& line) {
    if (!marker.empty() && line.find(marker) == std::string::npos) return;
    kept.push_back(line);
    if (kept.size() > lines) kept.pop_front();
  };
  try {
    ReadFileInChunks(path, 1 << 16, [&](const char* data, size_t length) {
      pending.append(data, length);
      size_t start = 0;
      for (size_t newline; (newline = pending.find('\n', start)) != std::string::npos;
           start = newline + 1) {
        take(pending.substr(start, newline - start));
      }
      pending.erase(0, start);
      return true;
    });
  } catch (const Failure&) {
    return std::string();
  }
  if (!pending.empty()) take(pending);
  std::string out;
  for (const std::string& line : kept) out += (out.empty() ? "" : "\n") + Trim(line);
  return out;
}

}  // namespace xbagent
