#include "Tools.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <utility>
#include <vector>

#include <climits>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include <XtraBackup/XtraBackupUtil.h>

#include "Commands.h"
#include "Common.h"
#include "StopWatcher.h"
#include "ToolOutput.h"

#ifndef XBAGENT_LIBRARY_VERSION
#define XBAGENT_LIBRARY_VERSION "unknown"
#endif

namespace xbagent {

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

}  // namespace

std::string FindProgram(const std::vector<std::string>& names) {
  const char* path = std::getenv("PATH");
  std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
  dirs += ":/usr/sbin:/sbin";
  for (const std::string& name : names) {
    size_t start = 0;
    while (start <= dirs.size()) {
      size_t end = dirs.find(':', start);
      if (end == std::string::npos) end = dirs.size();
      std::string dir = dirs.substr(start, end - start);
      if (dir.empty()) dir = ".";
      std::string candidate = JoinPath(dir, name);
      if (IsExecutableFile(candidate)) return AbsolutePath(candidate);
      start = end + 1;
    }
  }
  return std::string();
}

namespace {

struct LibrarySearch {
  std::string path;
};

int FindLibrary(struct dl_phdr_info* info, size_t, void* data) {
  if (info->dlpi_name == nullptr) return 0;
  std::string name = info->dlpi_name;
  if (name.find("libXtraBackupUtil.so") == std::string::npos) return 0;
  static_cast<LibrarySearch*>(data)->path = name;
  return 1;
}

}  // namespace

ToolDir::ToolDir(const std::string& given) {
  if (!given.empty()) {
    path_ = AbsolutePath(given);
    if (!IsDirectory(path_)) Fail("tool directory " + path_ + " does not exist");
    for (const char* name : {"xtrabackup", "xbstream"}) {
      if (!IsExecutableFile(JoinPath(path_, name))) {
        Fail("tool directory " + path_ + " has no executable '" + name + "': --tool-dir needs "
             "a directory with links named xtrabackup and xbstream to mariabackup and mbstream "
             "(mkdir DIR && ln -s \"$(command -v mariabackup)\" DIR/xtrabackup && ln -s "
             "\"$(command -v mbstream)\" DIR/xbstream), or leave --tool-dir out to use the "
             "tools on PATH");
      }
    }
    return;
  }
  std::string backup = FindProgram({"mariabackup", "mariadb-backup", "xtrabackup"});
  if (backup.empty()) {
    Fail("the backup tool (mariabackup) is not on PATH; install mariadb-backup or pass "
         "--tool-dir");
  }
  std::string stream = FindProgram({"mbstream", "xbstream"});
  if (stream.empty()) {
    Fail("the stream tool (mbstream) is not on PATH; install mariadb-backup or pass --tool-dir");
  }
  path_ = MakeScratchDir("xbagent-tools");
  guard_.Reset(path_);
  for (const auto& link : {std::make_pair(backup, "xtrabackup"), std::make_pair(stream, "xbstream")}) {
    std::string target = JoinPath(path_, link.second);
    if (::symlink(link.first.c_str(), target.c_str()) != 0) {
      Fail("cannot create " + target + ": " + ErrnoText(errno));
    }
  }
}

int RunAndCapture(const std::string& command, std::string* output, size_t maxBytes) {
  LibMySqlProcess::MySqlChildProcess child;
  if (child.Initialize(command, "", "") != 0) return -1;
  if (child.ZU_CreateProcess(true, true, true, false) != 0) return -1;
  StopWatcher watch(&child);
  std::vector<char> buffer(16384);
  for (;;) {
    long length = static_cast<long>(buffer.size());
    if (child.ReadBuf(buffer.data(), &length) != 0) {
      if (child.GetLastErrNo() == EINTR || child.GetLastErrNo() == EAGAIN) continue;
      break;
    }
    if (length <= 0) break;
    if (StopRequested()) {
      child.Kill(SIGTERM);
      break;
    }
    output->append(buffer.data(), static_cast<size_t>(length));
    if (output->size() > maxBytes) output->erase(0, output->size() - maxBytes);
  }
  return child.Wait(0);
}

std::string ToolVersion(const std::string& toolDir) {
  std::string output;
  int status =
      RunAndCapture(ShellQuote(JoinPath(toolDir, "xtrabackup")) + " --version", &output, 65536);
  std::string version;
  // The tool prints its name and version, possibly after other notes.
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string line = Trim(output.substr(start, end - start));
    if (!line.empty() && (line.find("based on") != std::string::npos ||
                          line.find("version") != std::string::npos || version.empty())) {
      version = line;
      if (line.find("based on") != std::string::npos) break;
    }
    start = end + 1;
  }
  if (status != 0) {
    std::string detail = "exit status " + std::to_string(status);
    ToolOutput lines("xtrabackup");
    lines.Feed(output.data(), output.size());
    lines.Finish();
    if (!lines.Reason().empty()) detail += ": " + lines.Reason();
    Fail("the backup tool " + JoinPath(toolDir, "xtrabackup") + " does not run (" + detail + ")");
  }
  return version.empty() ? std::string("unknown") : ToolVersionOfLine(version);
}

std::string ToolVersionOfLine(const std::string& line) {
  size_t based = line.find(" based on ");
  return based == std::string::npos ? line : "mariabackup" + line.substr(based);
}

void LibraryVersion(std::string* file, std::string* version) {
  LibrarySearch search;
  ::dl_iterate_phdr(FindLibrary, &search);
  *version = XBAGENT_LIBRARY_VERSION;
  if (search.path.empty()) {
    *file = "libXtraBackupUtil.so";
    return;
  }
  char resolved[PATH_MAX];
  std::string real = ::realpath(search.path.c_str(), resolved) ? resolved : search.path;
  *file = BaseName(real);
  size_t so = file->find(".so.");
  if (so != std::string::npos) *version = file->substr(so + 4);
}

std::string MakeScratchDir(const std::string& prefix) {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (::mkdtemp(buffer.data()) == nullptr) {
    Fail("cannot create a directory like " + pattern + ": " + ErrnoText(errno));
  }
  return buffer.data();
}

}  // namespace xbagent
