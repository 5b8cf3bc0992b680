#include "NoFollowFiles.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace XtraBackup {
namespace detail {

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
constexpr size_t kCopyChunk = 1u << 20;
// Deeper trees are refused rather than walked with one descriptor per level.
constexpr int kMaxDepth = 64;

int Fail(int err, std::string* reason, const std::string& text) {
  *reason = text + ": " + (err == ELOOP ? "it is a symbolic link" : std::strerror(err));
  return err;
}

// The errno of a failed directory open without following, made ELOOP when the
// entry is a link (the kernel says ENOTDIR for a link with O_DIRECTORY).
int DirectoryOpenError(int dirFd, const char* name) {
  int err = errno;
  struct stat st;
  if ((err == ENOTDIR || err == ELOOP) && ::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISLNK(st.st_mode)) {
    return ELOOP;
  }
  return err;
}

std::string StripTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

// Opens each component of `rest` below the open directory `fd`, never
// following a link.
int OpenBelow(Fd fd, const std::string& base, const std::string& rest, Fd* out,
              std::string* reason) {
  std::string walked = base;
  size_t start = 0;
  while (start <= rest.size()) {
    size_t end = rest.find('/', start);
    if (end == std::string::npos) end = rest.size();
    const std::string part = rest.substr(start, end - start);
    start = end + 1;
    if (part.empty() || part == ".") continue;
    walked += "/" + part;
    if (part == "..") return Fail(EINVAL, reason, walked);
    Fd next(::openat(fd.Get(), part.c_str(), kDirectoryFlags));
    if (!next.Valid()) return Fail(DirectoryOpenError(fd.Get(), part.c_str()), reason, walked);
    fd = std::move(next);
  }
  *out = std::move(fd);
  return 0;
}

// Short whatever the table's name (a long file name would not leave room for
// a suffix), hidden, and not a table file to the server.
std::string TempName() {
  static thread_local std::mt19937_64 generator{std::random_device{}()};
  static const char kChars[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::string temp = ".xbcopy-";
  for (int i = 0; i < 12; ++i) temp += kChars[generator() % (sizeof(kChars) - 1)];
  return temp;
}

// A new file of `mode` in the directory under a name no one else uses.
int CreateTemp(int dirFd, mode_t mode, std::string* tempName) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    *tempName = TempName();
    int fd = ::openat(dirFd, tempName->c_str(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

int WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t done = ::write(fd, data, size);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) return errno;
    if (done == 0) return ENOSPC;
    data += done;
    size -= static_cast<size_t>(done);
  }
  return 0;
}

// Every byte from `in` (at its start) to `out`, in kernel when it can.
int CopyBytes(int in, int out) {
  bool inKernel = true;
  std::vector<char> buffer;
  for (off_t copied = 0;;) {
    if (inKernel) {
      ssize_t done = ::copy_file_range(in, nullptr, out, nullptr, kCopyChunk, 0);
      if (done > 0) {
        copied += done;
        continue;
      }
      if (done == 0) return 0;
      if (errno == EINTR) continue;
      const bool unsupported = errno == EXDEV || errno == ENOSYS || errno == EINVAL ||
                               errno == EOPNOTSUPP || errno == EPERM;
      if (!unsupported || copied > 0) return errno;
      inKernel = false;
      buffer.resize(kCopyChunk);
    }
    ssize_t got = ::read(in, buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return errno;
    if (got == 0) return 0;
    if (int err = WriteAll(out, buffer.data(), static_cast<size_t>(got))) return err;
    copied += got;
  }
}

// Writes the source's bytes into the open new file and closes it, with the
// close's own failure (a file system may report a lack of space only there).
// Not synced: as with cp, the server makes the files durable when it imports
// them.
int FillAndClose(int srcFd, Fd temp) {
  if (int err = CopyBytes(srcFd, temp.Get())) return err;
  if (::close(temp.Release()) != 0 && errno != EINTR) return errno;
  return 0;
}

int ChangeEntry(int dirFd, const std::string& name, const std::string& text, uid_t uid, gid_t gid,
                mode_t mode, int depth, std::string* reason, bool* ownerStep);

int ChangeDirectory(int dirFd, const std::string& dirText, uid_t uid, gid_t gid, mode_t mode,
                    int depth, std::string* reason, bool* ownerStep) {
  *ownerStep = true;
  if (::fchown(dirFd, uid, gid) != 0) return Fail(errno, reason, dirText);
  *ownerStep = false;
  if (::fchmod(dirFd, mode) != 0) return Fail(errno, reason, dirText);
  if (depth >= kMaxDepth) {
    *reason = dirText + ": more than " + std::to_string(kMaxDepth) + " levels deep";
    return ELOOP;
  }

  int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (dir == nullptr) {
    int err = errno;
    if (listFd >= 0) ::close(listFd);
    return Fail(err, reason, dirText);
  }
  std::vector<std::string> names;
  while (const struct dirent* entry = ::readdir(dir)) {
    if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
      names.emplace_back(entry->d_name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : names) {
    int err = ChangeEntry(dirFd, name, dirText + "/" + name, uid, gid, mode, depth, reason,
                          ownerStep);
    if (err != 0) return err;
  }
  return 0;
}

int ChangeEntry(int dirFd, const std::string& name, const std::string& text, uid_t uid, gid_t gid,
                mode_t mode, int depth, std::string* reason, bool* ownerStep) {
  *ownerStep = true;
  // Pinned by a descriptor, so what is checked is what is changed.
  Fd entry(::openat(dirFd, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  if (!entry.Valid()) return errno == ENOENT ? 0 : Fail(errno, reason, text);  // gone: skipped
  struct stat st;
  if (::fstat(entry.Get(), &st) != 0) return Fail(errno, reason, text);
  if (S_ISDIR(st.st_mode)) {
    Fd sub(::openat(entry.Get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!sub.Valid()) return Fail(errno, reason, text);
    return ChangeDirectory(sub.Get(), text, uid, gid, mode, depth + 1, reason, ownerStep);
  }
  if (!S_ISLNK(st.st_mode) && st.st_nlink > 1) {
    // Another name of the same file may stand anywhere on the file system.
    *reason = text + ": has " + std::to_string(st.st_nlink) + " hard links, left as it is";
    return EMLINK;
  }
  if (::fchownat(entry.Get(), "", uid, gid, AT_EMPTY_PATH) != 0) return Fail(errno, reason, text);
  *ownerStep = false;
  if (S_ISLNK(st.st_mode)) return 0;  // a link's own mode means nothing
  const std::string pinned = "/proc/self/fd/" + std::to_string(entry.Get());
  if (::chmod(pinned.c_str(), mode) != 0) return Fail(errno, reason, text);
  return 0;
}

}  // namespace

Fd::~Fd() {
  if (fd_ >= 0) ::close(fd_);
}

Fd& Fd::operator=(Fd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.Release();
  }
  return *this;
}

bool HoldsNul(const std::string& text) { return text.find('\0') != std::string::npos; }

int OpenDirectoryNoFollow(const std::string& base, const std::string& path, Fd* out,
                          std::string* reason) {
  const std::string target = StripTrailingSlashes(path);
  const std::string root = StripTrailingSlashes(base);
  const std::string prefix = root == "/" ? root : root + "/";
  if (!root.empty() && target.size() > prefix.size() &&
      target.compare(0, prefix.size(), prefix) == 0) {
    Fd rootFd(::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!rootFd.Valid()) return Fail(errno, reason, root);
    return OpenBelow(std::move(rootFd), root, target.substr(prefix.size()), out, reason);
  }
  Fd fd(::open(target.c_str(), kDirectoryFlags));
  if (!fd.Valid()) return Fail(DirectoryOpenError(AT_FDCWD, target.c_str()), reason, target);
  *out = std::move(fd);
  return 0;
}

int ListMatching(int dirFd, const std::string& prefix, const std::string& suffix,
                 std::vector<std::string>* names, std::string* reason) {
  names->clear();
  int listFd = ::openat(dirFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
  if (dir == nullptr) {
    int err = errno;
    if (listFd >= 0) ::close(listFd);
    return Fail(err, reason, "listing " + prefix + "*" + suffix);
  }
  while (const struct dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
      names->push_back(name);
    }
  }
  ::closedir(dir);
  std::sort(names->begin(), names->end());
  return 0;
}

int CopyFileInto(int srcDirFd, const std::string& srcDirText, const std::string& name,
                 int destDirFd, const std::string& destDirText, std::string* reason) {
  const std::string srcText = srcDirText + "/" + name;
  // Non-blocking: a FIFO planted as a source must not hang the copy.
  Fd src(::openat(srcDirFd, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!src.Valid()) return Fail(errno, reason, srcText);
  struct stat st;
  if (::fstat(src.Get(), &st) != 0) return Fail(errno, reason, srcText);
  if (!S_ISREG(st.st_mode)) {
    *reason = srcText + ": not a regular file";
    return EINVAL;
  }
  std::string tempName;
  Fd temp(CreateTemp(destDirFd, st.st_mode & 0777, &tempName));
  if (!temp.Valid()) return Fail(errno, reason, destDirText + "/" + name);
  int err = FillAndClose(src.Get(), std::move(temp));
  if (err == 0 && ::renameat(destDirFd, tempName.c_str(), destDirFd, name.c_str()) != 0) {
    err = errno;
  }
  if (err != 0) {
    ::unlinkat(destDirFd, tempName.c_str(), 0);
    return Fail(err, reason, destDirText + "/" + name);
  }
  return 0;
}

int ChangeTreeOwnerAndMode(int dirFd, const std::string& dirText, uid_t uid, gid_t gid,
                           mode_t mode, std::string* reason, bool* ownerStep) {
  return ChangeDirectory(dirFd, dirText, uid, gid, mode, 0, reason, ownerStep);
}

}  // namespace detail
}  // namespace XtraBackup
