#pragma once

// One xbagent run per target at a time: a backup per server, a restore per
// target database or data directory, an archiver per archive. Each target
// has a lock file in /run/lock/xbagent (XBAGENT_LOCK_DIR overrides it),
// locked with flock, so the lock goes with its holder however that ends; the
// file names the holder (pid, command, start time) for whoever finds it held.

#include <string>

namespace xbagent {

class RunLock {
 public:
  // Takes the lock of key at once, or Fails naming what and the holder.
  // A file left by a holder that no longer runs is taken over, and said.
  RunLock(const std::string& key, const std::string& what);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

 private:
  int fd_ = -1;
};

// The directory of the lock files.
std::string RunLockDirectory();

}  // namespace xbagent
