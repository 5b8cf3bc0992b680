#pragma once

#include <condition_variable>
#include <mutex>
#include <thread>

#include <zuMySqlChildProcess/MySqlChildProcess.h>

namespace xbagent {

// Ends the tools of a library call once a stop is requested while the call
// is in progress: such a call waits for its tool and does not return on a
// signal, so a tool that prints nothing (a long prepare) would run to its
// end. Construct it just before the call; it checks the stop flag every
// kPollMs and from then on signals, every kPollMs until the call returns,
// SIGTERM and from kKillAfterMs on SIGKILL:
//   - with a child-process object (one the call drives): Kill on it;
//   - without (the call runs its tool on an object of its own): every
//     process this process started, and what they started.
// The destructor stops watching; it must run before the object is destroyed.
// Without a child-process object, after a stop request it also waits until
// no tool of this process runs any more (SIGTERM, then SIGKILL; at most
// kGiveUpMs): a call can return on the signal before its tools have ended,
// and they must not go on working in files the caller then removes. Such a
// watcher makes this process the subreaper of its descendants, so a tool
// whose shell ends first stays within reach (it is reaped when this process
// ends).
class StopWatcher {
 public:
  static constexpr int kPollMs = 50;
  static constexpr int kKillAfterMs = 1000;
  static constexpr int kGiveUpMs = 10000;

  explicit StopWatcher(LibMySqlProcess::MySqlChildProcess* child);
  ~StopWatcher();
  StopWatcher(const StopWatcher&) = delete;
  StopWatcher& operator=(const StopWatcher&) = delete;

 private:
  void Watch();

  LibMySqlProcess::MySqlChildProcess* child_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool done_ = false;
  std::thread thread_;
};

// Sends signal to every process this process started and to their
// descendants (found through /proc), each through a pidfd taken, and checked
// to still belong to the expected parent, before any is signalled, so a pid
// reused meanwhile is never signalled and no process leaves the tree.
void SignalOwnTools(int signal);

}  // namespace xbagent
