#include "Fs.h"

#include <cerrno>
#include <memory>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Common.h"

namespace xbagent {

int WriteAll(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t written = ::write(fd, p, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += written;
    length -= static_cast<size_t>(written);
  }
  return 0;
}

std::string StripTrailingSlashes(const std::string& path) {
  std::string result = path;
  while (result.size() > 1 && result.back() == '/') result.pop_back();
  return result;
}

std::string DirName(const std::string& path) {
  std::string stripped = StripTrailingSlashes(path);
  size_t slash = stripped.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return stripped.substr(0, slash);
}

std::string BaseName(const std::string& path) {
  std::string stripped = StripTrailingSlashes(path);
  size_t slash = stripped.rfind('/');
  return slash == std::string::npos ? stripped : stripped.substr(slash + 1);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty()) return name;
  if (dir.back() == '/') return dir + name;
  return dir + "/" + name;
}

std::string AbsolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return StripTrailingSlashes(path);
  std::vector<char> buffer(4096);
  while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
    if (errno != ERANGE) Fail("cannot determine the current directory: " + ErrnoText(errno));
    buffer.resize(buffer.size() * 2);
  }
  std::string cwd(buffer.data());
  if (path.empty() || path == ".") return cwd;
  return StripTrailingSlashes(JoinPath(cwd, path));
}

bool PathExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

bool SameFile(const std::string& a, const std::string& b) {
  struct stat one, two;
  return ::stat(a.c_str(), &one) == 0 && ::stat(b.c_str(), &two) == 0 &&
         one.st_dev == two.st_dev && one.st_ino == two.st_ino;
}

void CheckDefaultsFile(const std::string& path) {
  struct stat info = {};
  std::string why;
  if (::stat(path.c_str(), &info) != 0) {
    why = ErrnoText(errno);
  } else if (S_ISDIR(info.st_mode)) {
    why = "it is a directory";
  } else if (!S_ISREG(info.st_mode)) {
    why = "it is not a regular file";
  } else if (::access(path.c_str(), R_OK) != 0) {
    why = ErrnoText(errno);
  }
  if (!why.empty()) Fail("the defaults file " + path + " is not a readable file (" + why + ")");
}

bool IsDirectory(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool IsEmptyDirectory(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) Fail("cannot read directory " + path + ": " + ErrnoText(errno));
  bool empty = true;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") {
      empty = false;
      break;
    }
  }
  ::closedir(dir);
  return empty;
}

namespace {

int RemoveEntry(const char* path, const struct stat*, int type, struct FTW*) {
  int rc = (type == FTW_DP) ? ::rmdir(path) : ::unlink(path);
  return rc == 0 || errno == ENOENT ? 0 : errno;
}

}  // namespace

int RemoveTree(const std::string& path) {
  struct stat info;
  if (::lstat(path.c_str(), &info) != 0) return errno == ENOENT ? 0 : errno;
  if (!S_ISDIR(info.st_mode)) return ::unlink(path.c_str()) == 0 ? 0 : errno;
  int rc = ::nftw(path.c_str(), RemoveEntry, 32, FTW_DEPTH | FTW_PHYS);
  return rc < 0 ? errno : rc;
}

int RemoveContents(const std::string& path) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return errno;
  std::vector<std::string> names;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  int result = 0;
  for (const std::string& name : names) {
    int rc = RemoveTree(JoinPath(path, name));
    if (rc != 0 && result == 0) result = rc;
  }
  return result;
}

PathGuard::~PathGuard() {
  if (!path_.empty()) RemoveTree(path_);
}

void PathGuard::Reset(std::string path) {
  if (!path_.empty()) RemoveTree(path_);
  path_ = std::move(path);
}

uint64_t ReadFileInChunks(const std::string& path, size_t chunkBytes,
                          const std::function<bool(const char*, size_t)>& onChunk) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open " + path + ": " + ErrnoText(errno));
  struct CloseOnExit {
    int fd;
    ~CloseOnExit() { ::close(fd); }
  } closeOnExit{fd};
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buffer(new char[chunkBytes]);
  uint64_t handed = 0;
  for (;;) {
    ssize_t got = ::read(fd, buffer.get(), chunkBytes);
    if (got < 0) {
      const int err = errno;
      if (err == EINTR) continue;
      Fail("cannot read " + path + ": " + ErrnoText(err));
    }
    if (got == 0) return handed;
    if (!onChunk(buffer.get(), static_cast<size_t>(got))) return handed;
    handed += static_cast<uint64_t>(got);
  }
}

std::string ReadSmallFile(const std::string& path, size_t maxBytes) {
  std::string content;
  ReadFileInChunks(path, 16384, [&](const char* data, size_t length) {
    content.append(data, length);
    if (content.size() > maxBytes) {
      Fail(path + " is larger than expected (more than " + HumanBytes(maxBytes) + ")");
    }
    return true;
  });
  return content;
}

void WriteFileSynced(const std::string& path, const std::string& content) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) Fail("cannot create " + path + ": " + ErrnoText(errno));
  int err = WriteAll(fd, content.data(), content.size());
  if (err == 0 && ::fsync(fd) != 0) err = errno;
  if (::close(fd) != 0 && err == 0) err = errno;
  if (err != 0) {
    ::unlink(path.c_str());
    Fail("cannot write " + path + ": " + ErrnoText(err));
  }
}

void WriteFileAtomically(const std::string& path, const std::string& content) {
  std::string temp = JoinPath(DirName(path), "." + BaseName(path) + ".partial-" +
                                                 std::to_string(::getpid()));
  WriteFileSynced(temp, content);
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    Fail("cannot rename " + temp + " to " + path + ": " + ErrnoText(err));
  }
  SyncDirectory(DirName(path));
}

void SyncDirectory(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

uint64_t FileSize(const std::string& path) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) Fail("cannot read " + path + ": " + ErrnoText(errno));
  if (!S_ISREG(info.st_mode)) Fail(path + " is not a regular file");
  return static_cast<uint64_t>(info.st_size);
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) Fail("cannot read directory " + path + ": " + ErrnoText(errno));
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

}  // namespace xbagent
