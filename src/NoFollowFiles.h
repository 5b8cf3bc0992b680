#pragma once

// File work inside a directory that another account may change under us (a
// server's data directory, writable by the server's account). Everything goes
// through descriptors of directories opened without following links, so a
// symbolic link planted in the tree is never written through, and ownership
// and mode changes never leave the tree.
//
// Results are errno values (0 on success); `reason` texts name the path.

#include <sys/types.h>

#include <string>
#include <vector>

namespace XtraBackup {
namespace detail {

// An owned file descriptor, closed when released.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd();
  Fd(Fd&& other) noexcept : fd_(other.Release()) {}
  Fd& operator=(Fd&& other) noexcept;
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  int Release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Opens the directory `path`; its last component must be a real directory,
// not a link. When `path` lies below `base` (as text), every component below
// `base` must be a real directory too, and ".." is refused: the result is
// then inside `base`. Components of `base` itself are taken as they are.
int OpenDirectoryNoFollow(const std::string& base, const std::string& path, Fd* out,
                          std::string* reason);

// Names in the directory that begin with `prefix` and end with `suffix`
// (the two may not overlap), sorted: the files a shell pattern
// PREFIX*SUFFIX names.
int ListMatching(int dirFd, const std::string& prefix, const std::string& suffix,
                 std::vector<std::string>* names, std::string* reason);

// Copies the regular file `name` of `srcDirFd` to the same name in
// `destDirFd`, whole or not at all: the bytes go into a new file that is
// then renamed over the name, so whatever the name held (a file,
// a link) is replaced, never written through. On failure the new file is
// removed and the name keeps what it held. ENOENT means the source is absent.
int CopyFileInto(int srcDirFd, const std::string& srcDirText, const std::string& name,
                 int destDirFd, const std::string& destDirText, std::string* reason);

// Gives the directory and everything below it the owner uid:gid and the mode
// `mode`, without following links: a link gets the owner itself and keeps its
// mode, and a file with more than one hard link (whose other names may lie
// anywhere) is a failure, left unchanged. Stops at the first failure; `ownerStep` then says whether it was an
// owner change (else a mode change or a read of the tree).
int ChangeTreeOwnerAndMode(int dirFd, const std::string& dirText, uid_t uid, gid_t gid,
                           mode_t mode, std::string* reason, bool* ownerStep);

// True when the text holds a NUL character (a C path would be cut there).
bool HoldsNul(const std::string& text);

}  // namespace detail
}  // namespace XtraBackup
