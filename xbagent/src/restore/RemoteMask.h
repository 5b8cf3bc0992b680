#pragma once

// Tables with DATA DIRECTORY: the backup's redo log names their tablespaces
// by the absolute paths they have on the live server, and the tool's prepare
// applies it there whether or not the staging copy keeps its `.isl` files.
// RemoteMask removes the `.isl` files of a staging copy and, in a mount
// namespace private to this process, covers every remote directory they name
// with an empty in-memory file system in which each remote tablespace path
// shows the staging copy of that tablespace. The prepare then reaches only
// staging files; nothing it does can reach the live server's remote files,
// and the covers vanish with this process at the latest.

#include <string>
#include <vector>

namespace xbagent {
namespace restore {

class RemoteMask {
 public:
  // Does nothing for a staging copy without `.isl` files. Throws Failure,
  // naming the table, when a path is unusable or the namespace cannot be made.
  explicit RemoteMask(const std::string& staging);
  ~RemoteMask();
  RemoteMask(const RemoteMask&) = delete;
  RemoteMask& operator=(const RemoteMask&) = delete;

  // Removes the covers (innermost first). Throws Failure when one stays.
  void Release();

 private:
  void Cover(const std::string& staging);

  std::vector<std::string> mounts_;  // in the order mounted
};

}  // namespace restore
}  // namespace xbagent
