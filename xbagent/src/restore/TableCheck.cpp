#include "TableCheck.h"

#include <system_error>

#include "../Common.h"
#include "../verify/VerifyPhases.h"

namespace xbagent {
namespace restore {

namespace {
constexpr int kCheckers = 2;
}  // namespace

TableChecker::TableChecker(const Plan& plan) : shadow_(plan.shadow) {
  for (int i = 0; i < kCheckers; ++i) {
    connections_.push_back(Connect(plan, false));
    connections_.back()->SetCancel([this] { return cancelled_.load() || StopRequested(); });
  }
  try {
    for (auto& sql : connections_) threads_.emplace_back([this, &sql] { Run(*sql); });
  } catch (const std::system_error& error) {
    Stop();
    Fail(std::string("cannot start a thread for CHECK TABLE: ") + error.what());
  }
}

TableChecker::~TableChecker() { Stop(); }

void TableChecker::Stop() {
  cancelled_ = true;
  Join();
}

void TableChecker::Join() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
  }
  wake_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

void TableChecker::Add(const Table& table) {
  std::string failure;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    failure = failure_;
    if (failure.empty() && table.kind != Kind::kSequence) queue_.push_back(table.name);
  }
  if (!failure.empty()) Fail(failure);
  wake_.notify_all();
}

void TableChecker::Finish() {
  Join();
  CheckStop("nothing was changed");
  if (!failure_.empty()) Fail(failure_);
}

void TableChecker::Run(SqlConnection& sql) {
  for (;;) {
    std::string table;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return closed_ || !queue_.empty(); });
      if (queue_.empty() || cancelled_ || !failure_.empty()) return;
      table = queue_.front();
      queue_.pop_front();
    }
    std::string failure = Check(sql, table);
    if (!failure.empty()) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failure_.empty()) failure_ = failure;
    }
  }
}

std::string TableChecker::Check(SqlConnection& sql, const std::string& table) {
  std::vector<SqlRow> rows;
  try {
    rows = sql.Query("CHECK TABLE " + Quoted(shadow_) + "." + Quoted(table));
  } catch (const Failure& error) {
    return "CHECK TABLE of " + Quoted(table) + " after the import failed: " + error.what();
  }
  std::string result, message;
  JudgeCheckRows(rows, &result, &message);
  if (result == "OK") return "";
  return "table " + Quoted(table) + " fails CHECK TABLE after the import: " + message;
}

}  // namespace restore
}  // namespace xbagent
