#pragma once

// CHECK TABLE of the shadow's tables on connections and threads of their
// own (two: a check is one server thread, bound by the CPU), each table as
// soon as it is built: the checks run while the next tables are imported
// instead of after all of them.

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Plan.h"

namespace xbagent {
namespace restore {

class TableChecker {
 public:
  // Connects; throws Failure when the server cannot be reached.
  explicit TableChecker(const Plan& plan);
  // Stops a check still running (KILL QUERY) and waits for the thread.
  ~TableChecker();
  TableChecker(const TableChecker&) = delete;
  TableChecker& operator=(const TableChecker&) = delete;

  // Queues the table's check; throws a failure found meanwhile.
  void Add(const Table& table);
  // Waits for every check added; throws the first failure, naming the table.
  void Finish();

 private:
  void Stop();  // cancels what runs, then Join
  void Join();  // no more checks are added; waits for the threads
  void Run(SqlConnection& sql);
  // What is wrong with the table ("": nothing).
  std::string Check(SqlConnection& sql, const std::string& table);

  std::vector<std::unique_ptr<SqlConnection>> connections_;
  const std::string shadow_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::string> queue_;
  bool closed_ = false;
  std::atomic<bool> cancelled_{false};
  std::string failure_;
  std::vector<std::thread> threads_;
};

}  // namespace restore
}  // namespace xbagent
