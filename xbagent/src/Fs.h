#pragma once

// File-system helpers: whole writes, directory checks, removal of trees,
// durable renames. Every failure throws Failure with the path and errno text.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

namespace xbagent {

// write(2) until all of data is written, retrying EINTR and short writes.
// Returns 0, or the errno of the failing write.
int WriteAll(int fd, const void* data, size_t length);

// The path without trailing slashes ("/" stays "/").
std::string StripTrailingSlashes(const std::string& path);
std::string DirName(const std::string& path);
std::string BaseName(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
// The path made absolute against the current directory (not resolved).
std::string AbsolutePath(const std::string& path);

bool PathExists(const std::string& path);
bool IsDirectory(const std::string& path);
// Both paths name one file or directory (symbolic links and bind mounts
// followed); false when either cannot be reached.
bool SameFile(const std::string& a, const std::string& b);
// Throws Failure naming `path` unless it is a readable regular file: the
// client library silently ignores a defaults file it cannot read.
void CheckDefaultsFile(const std::string& path);
// True for a directory without entries; throws when it cannot be read.
bool IsEmptyDirectory(const std::string& path);

// Removes path and everything below it (symbolic links are removed, never
// followed). A missing path is not an error. Returns 0 or an errno value.
int RemoveTree(const std::string& path);
// Removes everything inside a directory, keeping the directory.
int RemoveContents(const std::string& path);

// Owns a path it created and removes it (recursively) when destroyed, unless
// Release was called. For temporary results that must not survive a failure.
class PathGuard {
 public:
  PathGuard() = default;
  explicit PathGuard(std::string path) : path_(std::move(path)) {}
  ~PathGuard();
  PathGuard(const PathGuard&) = delete;
  PathGuard& operator=(const PathGuard&) = delete;
  void Reset(std::string path);
  void Release() { path_.clear(); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Reads the file at path front to back, handing every chunk read (at most
// chunkBytes) to onChunk, until the end or until onChunk returns false.
// Throws when the file cannot be opened or read. Returns the bytes handed on.
uint64_t ReadFileInChunks(const std::string& path, size_t chunkBytes,
                          const std::function<bool(const char*, size_t)>& onChunk);

// The whole content of a small file; throws when it cannot be read or is
// larger than maxBytes.
std::string ReadSmallFile(const std::string& path, size_t maxBytes);

// Writes content to path (created 0644, truncated) and syncs it.
void WriteFileSynced(const std::string& path, const std::string& content);

// Writes content next to path under a temporary name, syncs it, and renames
// it over path: readers see the old file or the whole new one.
void WriteFileAtomically(const std::string& path, const std::string& content);

// fsync of a directory, so a rename inside it survives a crash (best effort).
void SyncDirectory(const std::string& path);

// Size of a regular file; throws when it cannot be read.
uint64_t FileSize(const std::string& path);

// The names in a directory, without "." and ".."; throws Failure.
std::vector<std::string> ListDirectory(const std::string& path);

}  // namespace xbagent
