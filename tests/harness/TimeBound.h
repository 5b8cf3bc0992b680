#pragma once

// A bound on a call that might block on a FIFO: the call runs on its own
// thread, and if it has not returned in time the FIFO is opened for writing
// and closed again, which ends a blocked open or read, so a regression fails
// the test instead of hanging it.

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <future>
#include <string>

namespace xbtest {

inline bool ReturnsWithin(std::chrono::milliseconds limit, const std::string& fifo,
                          const std::function<void()>& call) {
  std::future<void> done = std::async(std::launch::async, call);
  if (done.wait_for(limit) == std::future_status::ready) return true;
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) ::close(fd);
  }
  return false;
}

}  // namespace xbtest
