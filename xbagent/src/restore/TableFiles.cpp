#include "TableFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../Tools.h"

namespace xbagent {
namespace restore {

namespace {
constexpr mode_t kFileMode = 0660;
}  // namespace

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

namespace {

// Gives the file the server's owner and mode; 0 or an errno value.
int GiveToServer(const Plan& plan, int fd) {
  if (::fchown(fd, plan.ownerUid, plan.ownerGid) != 0) return errno;
  if (::fchmod(fd, kFileMode) != 0) return errno;
  return 0;
}

}  // namespace

uint64_t CopyNewFile(const Plan& plan, const std::string& source, const std::string& target,
                     bool sync) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Fail("cannot open " + source + ": " + ErrnoText(errno));
  struct stat info;
  if (::fstat(in, &info) != 0) {
    int err = errno;
    ::close(in);
    Fail("cannot read " + source + ": " + ErrnoText(err));
  }
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
  if (out < 0) {
    int err = errno;
    ::close(in);
    Fail("cannot create " + target + ": " + ErrnoText(err) +
         (err == EEXIST ? " (refusing to write over an existing file)" : ""));
  }
  uint64_t left = static_cast<uint64_t>(info.st_size);
  int err = 0;
  while (left > 0 && err == 0) {
    if (StopRequested()) {
      err = EINTR;
      break;
    }
    size_t chunk = left > (64u << 20) ? (64u << 20) : static_cast<size_t>(left);
    ssize_t sent = ::sendfile(out, in, nullptr, chunk);
    if (sent < 0) {
      if (errno == EINTR) continue;
      err = errno;
    } else if (sent == 0) {
      err = EIO;  // the source shrank
    } else {
      left -= static_cast<uint64_t>(sent);
    }
  }
  if (err == 0) err = GiveToServer(plan, out);
  if (err == 0 && sync && ::fsync(out) != 0) err = errno;
  if (::close(out) != 0 && err == 0) err = errno;
  ::close(in);
  if (err != 0) {
    ::unlink(target.c_str());
    if (err == EINTR) Fail("interrupted while copying " + source);
    Fail("cannot copy " + source + " to " + target + ": " + ErrnoText(err));
  }
  return static_cast<uint64_t>(info.st_size);
}

uint64_t MoveNewFile(const Plan& plan, const std::string& source, const std::string& target) {
  // Owner and mode are set in staging, where only this run writes, so
  // nothing at the target's name is ever changed through a path.
  int fd = ::open(source.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) Fail("cannot open " + source + ": " + ErrnoText(errno));
  struct stat info;
  int err = ::fstat(fd, &info) != 0 ? errno : !S_ISREG(info.st_mode) ? EINVAL : 0;
  if (err == 0) err = GiveToServer(plan, fd);
  ::close(fd);
  if (err != 0) Fail("cannot give " + source + " the server's owner: " + ErrnoText(err));
  if (::renameat2(AT_FDCWD, source.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
    return static_cast<uint64_t>(info.st_size);
  }
  if (errno == EEXIST) {
    Fail("cannot move " + source + " to " + target + ": " + ErrnoText(errno) +
         " (refusing to write over an existing file)");
  }
  // Another file system, or one without this kind of rename.
  return CopyNewFile(plan, source, target, false);
}

uint64_t CopyReplacingFile(const Plan& plan, const std::string& source, const std::string& target) {
  std::string temp = JoinPath(DirName(target), ".xbagent-" + std::to_string(::getpid()) + "-" +
                                                   BaseName(target));
  ::unlink(temp.c_str());
  uint64_t bytes = CopyNewFile(plan, source, temp, true);
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    Fail("cannot move " + temp + " to " + target + ": " + ErrnoText(err));
  }
  return bytes;
}

void CheckStagingFiles(Plan& plan) {
  const std::string sourceDir = JoinPath(plan.staging, BackupDirectory(plan));
  if (!IsDirectory(sourceDir)) Fail("the backup holds no directory " + sourceDir);
  ExportOldNameTables(plan);
  std::vector<std::string> names = ListDirectory(sourceDir);
  std::set<std::string> present(names.begin(), names.end());
  for (Table& table : plan.tables) {
    std::vector<std::string> need;
    if (!present.count(table.stem + ".frm")) {
      Fail("the backup lacks table " + Quoted(table.name) + " (no " + table.stem +
           ".frm); nothing was changed");
    }
    if (table.kind == Kind::kInnoDb || table.kind == Kind::kFulltext) {
      need = {table.stem + ".ibd", table.stem + ".cfg"};
    } else if ((table.kind == Kind::kMyIsam || table.kind == Kind::kAria) && !table.partitioned) {
      const char* data = table.kind == Kind::kAria ? ".MAD" : ".MYD";
      const char* index = table.kind == Kind::kAria ? ".MAI" : ".MYI";
      need = {table.stem + data, table.stem + index};
    } else if (table.partitioned && table.kind != Kind::kSchemaOnly) {
      const std::string prefix = table.stem + "#P#";
      table.leafFiles.clear();
      for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) == 0) table.leafFiles.push_back(name);
      }
      if (table.leafFiles.empty()) {
        Fail("the backup lacks the partitions of " + Quoted(table.name) + " (no " + prefix +
             "* files); nothing was changed");
      }
    }
    for (const std::string& file : need) {
      if (!present.count(file)) {
        Fail("the backup lacks " + file + " of table " + Quoted(table.name) +
             "; nothing was changed");
      }
    }
  }
}

void ResetAriaLogNumbers(Plan& plan) {
  const std::string sourceDir = JoinPath(plan.staging, BackupDirectory(plan));
  std::vector<std::string> stems;
  for (const Table& table : plan.tables) {
    if (table.kind != Kind::kAria) continue;
    if (!table.partitioned) {
      stems.push_back(table.stem);
      continue;
    }
    for (const std::string& file : table.leafFiles) {
      if (file.size() > 4 && file.compare(file.size() - 4, 4, ".MAI") == 0) {
        stems.push_back(file.substr(0, file.size() - 4));
      }
    }
  }
  if (stems.empty()) return;
  std::string tool = FindProgram({"aria_chk"});
  if (tool.empty()) {
    Fail("aria_chk is not on PATH; it is needed to restore Aria tables safely (install "
         "mariadb-server); nothing was changed");
  }
  for (const std::string& stem : stems) {
    CheckStop("nothing was changed");
    std::string output;
    std::string command = ShellQuote(tool) + " --zerofill --tmpdir=" + ShellQuote(plan.staging) +
                          " " + ShellQuote(JoinPath(sourceDir, stem));
    Log().Detail(Verbosity::kVerbose, "aria: " + command);
    if (RunAndCapture(command, &output, 8192) != 0) {
      Fail("aria_chk --zerofill of the staged " + stem + " failed: " + Trim(output) +
           "; nothing was changed");
    }
  }
}

}  // namespace restore
}  // namespace xbagent
