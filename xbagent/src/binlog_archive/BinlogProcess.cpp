// mariadb-binlog and the client, run with argument vectors (never a shell):
// the decoder's output passes through xbagent, which reads its event headers
// on the way to the client.

#include <cerrno>
#include <csignal>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "../Tools.h"
#include "../verify/VerifyPhases.h"
#include "ArchivePhases.h"

namespace xbagent {

namespace {

constexpr double kChildTimeout = 24 * 3600.0;

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) Fail("cannot create a pipe: " + ErrnoText(errno));
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  void CloseRead() {
    if (read >= 0) ::close(read);
    read = -1;
  }
  void CloseWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
};

// Starts argv with the given descriptors as its standard streams, in a
// session of its own (a terminal's Ctrl-C reaches only xbagent). The child
// gets SIGTERM when xbagent dies: a copier left running after a SIGKILL
// would write into the archive beside the next run.
pid_t Spawn(const std::vector<std::string>& argv, int in, int out, int err, int extra = -1) {
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);
    ::setsid();
    struct sigaction deflt = {};
    deflt.sa_handler = SIG_DFL;
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::sigaction(sig, &deflt, nullptr);
    ::dup2(in, 0);
    ::dup2(out, 1);
    ::dup2(err, 2);
    if (extra == 3) ::fcntl(3, F_SETFD, 0);
    if (extra >= 0 && extra != 3) ::dup2(extra, 3);  // dup2 clears close-on-exec
    ::execv(args[0], args.data());
    const char message[] = "xbagent: cannot run the program\n";
    ssize_t ignored = ::write(2, message, sizeof message - 1);
    (void)ignored;
    ::_exit(127);
  }
  if (pid < 0) Fail("cannot start " + argv[0] + ": " + ErrnoText(errno));
  return pid;
}

int OpenOrFail(const std::string& path, int flags) {
  int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot open " + path + ": " + ErrnoText(errno));
  return fd;
}

// Reads the decoder's output until its end, a stop request or a failed
// write to the client; splits it into lines for onLine.
bool Relay(int from, int to, const std::function<void(const std::string&)>& onLine, std::string* why,
           bool stoppable) {
  std::string pending;
  char buffer[65536];
  for (;;) {
    struct pollfd wait = {from, POLLIN, 0};
    int ready = ::poll(&wait, 1, 200);
    if (stoppable && StopRequested()) {
      *why = "interrupted";
      return false;
    }
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    ssize_t got = ::read(from, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      *why = "reading mariadb-binlog's output failed: " + ErrnoText(errno);
      return false;
    }
    if (got == 0) break;
    if (to >= 0 && WriteAll(to, buffer, static_cast<size_t>(got)) != 0) {
      *why = "the client stopped reading: " + ErrnoText(errno);
      return false;
    }
    pending.append(buffer, static_cast<size_t>(got));
    size_t start = 0;
    for (size_t newline; (newline = pending.find('\n', start)) != std::string::npos; start = newline + 1) {
      onLine(pending.substr(start, newline - start));
    }
    pending.erase(0, start);
  }
  if (!pending.empty()) onLine(pending);
  return true;
}

// The decoder of a scan has ended its output: it is reaped even when a stop
// was requested.
int WaitUnstoppable(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  return WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : -1;
}

std::string ExitText(const std::string& program, int status) {
  return BaseName(program) + (status < 0 ? std::string(" was stopped")
                                         : " failed (exit status " + std::to_string(status) + ")");
}

}  // namespace

pid_t StartCopier(const std::vector<std::string>& argv, const std::string& outputFile,
                  const std::string& settings) {
  Pipe handover;
  // A few hundred bytes: the pipe holds them until the copier reads them.
  if (settings.size() > 4096 || WriteAll(handover.write, settings.data(), settings.size()) != 0) {
    Fail("cannot hand the connection settings to mariadb-binlog");
  }
  handover.CloseWrite();
  int out = OpenOrFail(outputFile, O_WRONLY | O_CREAT | O_APPEND);
  int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (null < 0) {
    ::close(out);
    Fail("cannot open /dev/null: " + ErrnoText(errno));
  }
  pid_t pid = -1;
  try {
    pid = Spawn(argv, null, out, out, handover.read);
  } catch (...) {
    ::close(out);
    ::close(null);
    throw;
  }
  ::close(out);
  ::close(null);
  return pid;
}

std::string BinlogProgram() {
  std::string path = FindProgram({"mariadb-binlog", "mysqlbinlog"});
  if (path.empty()) Fail("mariadb-binlog not found on PATH");
  return path;
}

std::string ClientProgram() {
  std::string path = FindProgram({"mariadb", "mysql"});
  if (path.empty()) Fail("the client program mariadb not found on PATH");
  return path;
}

bool RunThrough(const std::vector<std::string>& from, const std::vector<std::string>& to,
                const std::string& errorFile, const std::function<void(const std::string&)>& onLine,
                std::string* why, bool stoppable) {
  int err = OpenOrFail(errorFile, O_WRONLY | O_CREAT | O_APPEND);
  int null = OpenOrFail("/dev/null", O_RDWR);
  Pipe output;
  Pipe input;
  pid_t client = -1;
  if (!to.empty()) client = Spawn(to, input.read, err, err);
  input.CloseRead();
  pid_t decoder = Spawn(from, null, output.write, err);
  output.CloseWrite();
  ::close(err);
  ::close(null);
  bool relayed = Relay(output.read, to.empty() ? -1 : input.write, onLine, why, stoppable);
  if (!relayed) ::kill(decoder, SIGTERM);
  output.CloseRead();
  input.CloseWrite();
  auto wait = [&](pid_t pid) {
    if (!stoppable) return WaitUnstoppable(pid);
    return WaitChild(pid, relayed ? kChildTimeout : 10);
  };
  int decoderStatus = wait(decoder);
  int clientStatus = client < 0 ? 0 : wait(client);
  if (!relayed) return false;
  if (decoderStatus != 0) {
    *why = ExitText(from[0], decoderStatus);
  } else if (clientStatus != 0) {
    *why = ExitText(to[0], clientStatus);
  }
  if (decoderStatus != 0 || clientStatus != 0) {
    std::string tail = TailLines(errorFile, "", 3);
    if (!tail.empty()) *why += ": " + tail;
    return false;
  }
  return true;
}

void ScanLogFile(const std::string& path, ArchivedFile* entry) {
  entry->firstTime.clear();
  entry->lastTime.clear();
  entry->firstGtid.clear();
  entry->lastGtid.clear();
  std::string errors = JoinPath(DirName(path), ".scan-errors");
  std::string why;
  bool ok = RunThrough({BinlogProgram(), "--no-defaults", path}, {}, errors,
                       [entry](const std::string& line) {
                         EventHeader header;
                         if (!ParseEventHeader(line, &header)) return;
                         if (entry->firstTime.empty()) entry->firstTime = header.time;
                         entry->lastTime = header.time;
                         if (header.gtid.empty()) return;
                         if (entry->firstGtid.empty()) entry->firstGtid = header.gtid;
                         entry->lastGtid = header.gtid;
                       },
                       &why, false);
  ::unlink(errors.c_str());
  if (!ok) Fail("cannot read the archived file " + path + ": " + why);
}

}  // namespace xbagent
