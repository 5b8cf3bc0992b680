#pragma once

// A time bound for tests whose child leaves a grandchild holding its pipes:
// the test's command writes the grandchild's pid to PidFile(); if the test is
// still running after the bound, the grandchild is killed, so a regression
// that waits for it fails (the test checks its elapsed time) instead of
// passing once the grandchild ends by itself.

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

class ScopedGrandchildBound {
 public:
  explicit ScopedGrandchildBound(int seconds) {
    const char* base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/grandchild-XXXXXX";
    const int fd = mkstemp(&pattern[0]);
    if (fd >= 0) close(fd);
    pidFile_ = pattern;
    watchdog_ = std::thread([this, seconds] {
      std::unique_lock<std::mutex> lock(mutex_);
      if (cv_.wait_for(lock, std::chrono::seconds(seconds), [this] { return done_; })) return;
      std::ifstream in(pidFile_);
      int pid = 0;
      if (in >> pid && pid > 0) kill(pid, SIGKILL);
    });
  }
  ~ScopedGrandchildBound() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    watchdog_.join();
    unlink(pidFile_.c_str());
  }
  ScopedGrandchildBound(const ScopedGrandchildBound&) = delete;
  ScopedGrandchildBound& operator=(const ScopedGrandchildBound&) = delete;

  const std::string& PidFile() const { return pidFile_; }

 private:
  std::string pidFile_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread watchdog_;
};
