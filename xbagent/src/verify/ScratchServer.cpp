// The throwaway server of verify: a settings file of its own (read instead
// of the system's), no network, its socket and logs in the scratch
// directory, run as user mysql when xbagent runs as root.

#include <cerrno>
#include <csignal>
#include <ctime>

#include <ftw.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../Sql.h"
#include "../Tools.h"
#include "VerifyPhases.h"

namespace xbagent {

namespace {

constexpr double kStartTimeout = 600;  // crash recovery of a large copy
constexpr double kStopTimeout = 120;

uid_t g_owner = 0;
gid_t g_group = 0;

int ChownEntry(const char* path, const struct stat*, int, struct FTW*) {
  return ::lchown(path, g_owner, g_group) == 0 ? 0 : errno;
}

bool RunningAsRoot() { return ::geteuid() == 0; }

void Pause() {
  struct timespec pause = {0, 100 * 1000 * 1000};
  ::nanosleep(&pause, nullptr);
}

bool Answers(const std::string& cnf, const std::string& socket) {
  if (!PathExists(socket)) return false;
  try {
    SqlConnection probe(cnf, socket, "root");
    return true;
  } catch (const Failure&) {
    return false;
  }
}

}  // namespace

ScratchServer::ScratchServer(std::string dir, const std::string& dataDir)
    : dir_(std::move(dir)),
      dataDir_(dataDir.empty() ? JoinPath(dir_, "data") : dataDir),
      socket_(JoinPath(dir_, "s.sock")),
      cnf_(JoinPath(dir_, "my.cnf")),
      errorLog_(JoinPath(dir_, "error.log")) {
  if (socket_.size() > 100) {
    Fail("the scratch directory " + dir_ + " is too deep for a unix socket; give a shorter "
         "--scratch-dir");
  }
  mariadbd_ = FindProgram({"mariadbd", "mysqld"});
  if (mariadbd_.empty()) Fail("no server program (mariadbd) found on PATH or in /usr/sbin");
}

ScratchServer::~ScratchServer() { Stop(); }

void CheckServerVersion(const std::string& backupVersion) {
  const std::string mariadbd = FindProgram({"mariadbd", "mysqld"});
  if (mariadbd.empty()) Fail("no server program (mariadbd) found on PATH or in /usr/sbin");
  std::string output;
  RunAndCapture(ShellQuote(mariadbd) + " --version", &output, 4096);
  const std::string local = VersionNumber(output);
  const std::string wanted = VersionNumber(backupVersion);
  if (wanted.empty()) Fail("the manifest records no server version to verify with");
  if (local != wanted) {
    Fail("the backup was taken from a " + wanted + " server, but " + mariadbd + " is " +
         (local.empty() ? std::string("of unknown version") : local) +
         "; verify needs a server of the same version");
  }
}

namespace {

// The first of `dirs` that the user cannot enter, or -1; checked in a
// child process that takes the user's identity.
int FirstUnreachable(const struct passwd& account, const std::vector<std::string>& dirs) {
  std::vector<gid_t> groups(64);
  int count = static_cast<int>(groups.size());
  if (::getgrouplist(account.pw_name, account.pw_gid, groups.data(), &count) < 0) {
    groups.resize(static_cast<size_t>(count));  // count is now the number needed
    if (::getgrouplist(account.pw_name, account.pw_gid, groups.data(), &count) < 0) count = 0;
  }
  const pid_t pid = ::fork();
  if (pid < 0) Fail("cannot start a process to check the scratch directory: " + ErrnoText(errno));
  if (pid == 0) {
    if (::setgroups(static_cast<size_t>(count), groups.data()) != 0 ||
        ::setgid(account.pw_gid) != 0 || ::setuid(account.pw_uid) != 0) {
      ::_exit(255);
    }
    for (size_t i = 0; i < dirs.size() && i < 250; ++i) {
      if (::access(dirs[i].c_str(), X_OK) != 0) ::_exit(static_cast<int>(i + 1));
    }
    ::_exit(0);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) == 255) {
    Fail("cannot check the scratch directory as user mysql");
  }
  return WEXITSTATUS(status) - 1;
}

}  // namespace

void CheckScratchReachable(const std::string& parent) {
  if (!RunningAsRoot()) return;
  const struct passwd* found = ::getpwnam("mysql");
  if (found == nullptr) Fail("there is no user 'mysql' to run the throwaway server as");
  const struct passwd account = *found;
  std::vector<std::string> dirs;
  for (std::string dir = StripTrailingSlashes(parent); !dir.empty() && dir != "/";
       dir = DirName(dir)) {
    dirs.insert(dirs.begin(), dir);
  }
  dirs.insert(dirs.begin(), "/");
  const int index = FirstUnreachable(account, dirs);
  if (index < 0) return;
  Fail("user mysql, which runs the throwaway server, cannot enter " + dirs[index] +
       (dirs[index] == parent ? std::string() : " (on the way to the scratch directory's place " +
                                                    parent + ")") +
       ": give --scratch-dir a directory it can reach (for example under /var/tmp), or let it "
       "in (chmod o+x); nothing was verified or recorded");
}

void ScratchServer::WriteSettings(const std::string& extra) {
  std::string text =
      "# The throwaway server of xbagent verify.\n"
      "[client]\n"
      "socket=" + socket_ + "\n"
      "user=root\n"
      "\n"
      "[mysqld]\n"
      "datadir=" + dataDir_ + "\n"
      "socket=" + socket_ + "\n"
      "pid-file=" + JoinPath(dir_, "server.pid") + "\n"
      "log-error=" + errorLog_ + "\n"
      "tmpdir=" + dir_ + "\n"
      "skip-networking\n"
      "skip-name-resolve\n"
      "skip-log-bin\n"
      "loose-skip-slave-start\n"
      "event-scheduler=OFF\n"
      "innodb_buffer_pool_size=64M\n"
      "innodb_flush_log_at_trx_commit=2\n" + extra;
  WriteFileSynced(cnf_, text);
  GiveToServerUser(cnf_);
}

void ScratchServer::GiveToServerUser(const std::string& path) const {
  if (!RunningAsRoot()) return;
  struct passwd* account = ::getpwnam("mysql");
  if (account == nullptr) Fail("there is no user 'mysql' to run the throwaway server as");
  g_owner = account->pw_uid;
  g_group = account->pw_gid;
  int err = ::nftw(path.c_str(), ChownEntry, 32, FTW_PHYS);
  if (err != 0) Fail("cannot give " + path + " to user mysql: " + ErrnoText(err > 0 ? err : errno));
}

void ScratchServer::Initialise() {
  std::string installer = FindProgram({"mariadb-install-db", "mysql_install_db"});
  if (installer.empty()) Fail("mariadb-install-db not found on PATH");
  if (::mkdir(dataDir_.c_str(), 0750) != 0 && errno != EEXIST) {
    Fail("cannot create " + dataDir_ + ": " + ErrnoText(errno));
  }
  GiveToServerUser(dataDir_);
  std::vector<std::string> argv = {installer, "--defaults-file=" + cnf_,
                                   "--auth-root-authentication-method=normal",
                                   "--skip-test-db", "--skip-name-resolve"};
  if (RunningAsRoot()) argv.push_back("--user=mysql");
  const std::string log = JoinPath(dir_, "install.log");
  int status = WaitChild(StartChild(argv, log, true), kStartTimeout);
  if (StopRequested()) Fail("interrupted");
  if (status != 0) {
    // Its last lines are a general plea ("Please check all of the above
    // ..."): the error lines say what went wrong.
    std::string why = TailLines(log, "[ERROR]", 3);
    if (why.empty()) why = TailLines(log, "rror", 3);
    if (why.empty()) why = TailLines(log, "", 3);
    Fail("mariadb-install-db failed (exit status " + std::to_string(status) + "): " + why);
  }
}

void ScratchServer::Start(bool skipGrants) {
  std::vector<std::string> argv = {mariadbd_, "--defaults-file=" + cnf_};
  if (skipGrants) argv.push_back("--skip-grant-tables");
  if (RunningAsRoot()) argv.push_back("--user=mysql");
  pid_ = StartChild(argv, JoinPath(dir_, "server.out"), true);
  Log().Detail(Verbosity::kVerbose, "throwaway server started (pid " + std::to_string(pid_) +
                                        "), socket " + socket_);
  const double started = MonotonicSeconds();
  while (!Answers(cnf_, socket_)) {
    int status = 0;
    if (ChildExited(pid_, &status)) {
      pid_ = -1;
      std::string why = ErrorLogTail();
      Fail("the throwaway server did not start on the restored copy (exit status " +
           std::to_string(status) + ")" + (why.empty() ? std::string() : ": " + why));
    }
    if (StopRequested()) Fail("interrupted");
    if (MonotonicSeconds() - started > kStartTimeout) {
      Fail("the throwaway server did not answer within " + HumanSeconds(kStartTimeout));
    }
    Pause();
  }
}

bool ScratchServer::Stop() {
  if (pid_ < 0) return true;
  int status = 0;
  bool wasRunning = !ChildExited(pid_, &status);
  if (wasRunning) {
    ::kill(pid_, SIGTERM);
    const double sent = MonotonicSeconds();
    while (!ChildExited(pid_, &status)) {
      if (MonotonicSeconds() - sent > kStopTimeout) {
        ::kill(pid_, SIGKILL);
        wasRunning = false;
      }
      Pause();
    }
  }
  pid_ = -1;
  return wasRunning;
}

std::string ScratchServer::ErrorLogTail() const {
  std::string errors = TailLines(errorLog_, "[ERROR]", 3);
  return errors.empty() ? TailLines(errorLog_, "", 3) : errors;
}

}  // namespace xbagent
