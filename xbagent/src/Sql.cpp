#include "Sql.h"

#include <mysql.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>

#include "Common.h"

namespace xbagent {

namespace {

MYSQL* Handle(void* p) { return static_cast<MYSQL*>(p); }

}  // namespace

SqlConnection::SqlConnection(const std::string& defaultsFile, const std::string& socket,
                             const std::string& user)
    : mysql_(mysql_init(nullptr)), defaultsFile_(defaultsFile), socket_(socket), user_(user) {
  if (mysql_ == nullptr) Fail("cannot initialise the MariaDB client library");
  MYSQL* m = Handle(mysql_);
  unsigned int timeout = 10;
  mysql_optionsv(m, MYSQL_READ_DEFAULT_FILE, defaultsFile.c_str());
  mysql_optionsv(m, MYSQL_READ_DEFAULT_GROUP, "client");
  mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &timeout);
  mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "utf8mb4");
  if (!socket.empty()) {
    unsigned int protocol = MYSQL_PROTOCOL_SOCKET;
    mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &protocol);
  }
  if (mysql_real_connect(m, nullptr, user.empty() ? nullptr : user.c_str(), nullptr, nullptr, 0,
                         socket.empty() ? nullptr : socket.c_str(), 0) == nullptr) {
    std::string reason = mysql_error(m);
    mysql_close(m);
    mysql_ = nullptr;
    Fail("cannot connect to the server (defaults file " + defaultsFile + "): " + reason);
  }
}

SqlConnection::~SqlConnection() {
  if (mysql_ != nullptr) mysql_close(Handle(mysql_));
}

unsigned long SqlConnection::ConnectionId() const { return mysql_thread_id(Handle(mysql_)); }

std::vector<SqlRow> SqlConnection::Query(const std::string& sql) {
  return stop_ ? QueryWatched(sql) : RunQuery(sql);
}

// The statement runs here while a watcher thread asks stop_; when it says
// stop, a second connection cancels the statement with KILL QUERY.
std::vector<SqlRow> SqlConnection::QueryWatched(const std::string& sql) {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  const unsigned long id = ConnectionId();
  std::thread watcher([&] {
    std::unique_lock<std::mutex> lock(mutex);
    while (!finished) {
      done.wait_for(lock, std::chrono::milliseconds(50));
      if (finished || !stop_()) continue;
      lock.unlock();
      try {
        SqlConnection killer(defaultsFile_, socket_, user_);
        killer.RunQuery("KILL QUERY " + std::to_string(id));
      } catch (const Failure&) {
        // The statement may have ended meanwhile; the caller sees the stop.
      }
      lock.lock();
      break;
    }
  });
  auto stopWatcher = [&] {
    {
      std::lock_guard<std::mutex> lock(mutex);
      finished = true;
    }
    done.notify_all();
    watcher.join();
  };
  try {
    std::vector<SqlRow> rows = RunQuery(sql);
    stopWatcher();
    return rows;
  } catch (...) {
    stopWatcher();
    throw;
  }
}

void SqlConnection::FailQuery(const std::string& sql) {
  MYSQL* m = Handle(mysql_);
  lastError_ = mysql_errno(m);
  lastErrorText_ = mysql_error(m);
  std::string text = "query failed: " + lastErrorText_;
  // A refused privilege: which statement needed it.
  static const unsigned int kDenied[] = {1044, 1142, 1143, 1227, 1370};
  for (unsigned int denied : kDenied) {
    if (lastError_ == denied) {
      text += " (in: " + (sql.size() > 100 ? sql.substr(0, 100) + " ..." : sql) + ")";
    }
  }
  Fail(text);
}

std::vector<SqlRow> SqlConnection::RunQuery(const std::string& sql) {
  MYSQL* m = Handle(mysql_);
  lastError_ = 0;
  lastErrorText_.clear();
  if (mysql_real_query(m, sql.data(), static_cast<unsigned long>(sql.size())) != 0) {
    FailQuery(sql);
  }
  std::vector<SqlRow> rows;
  MYSQL_RES* result = mysql_store_result(m);
  if (result == nullptr) {
    if (mysql_field_count(m) != 0) FailQuery(sql);
    return rows;
  }
  unsigned int columns = mysql_num_fields(result);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    SqlRow values;
    values.reserve(columns);
    for (unsigned int i = 0; i < columns; ++i) {
      values.emplace_back(row[i] ? std::string(row[i], lengths[i]) : std::string());
    }
    rows.push_back(std::move(values));
  }
  mysql_free_result(result);
  return rows;
}

std::string SqlConnection::Scalar(const std::string& sql) {
  std::vector<SqlRow> rows = Query(sql);
  if (rows.empty() || rows[0].empty()) return std::string();
  return rows[0][0];
}

std::string SqlBytes(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out = "X'";
  for (unsigned char c : text) {
    out += kHex[c >> 4];
    out += kHex[c & 0x0f];
  }
  out += '\'';
  return out;
}

std::string SqlLiteral(const std::string& text) {
  return "CONVERT(" + SqlBytes(text) + " USING utf8mb4)";
}

std::string SqlIdentifier(const std::string& name) {
  std::string out = "`";
  for (char c : name) {
    if (c == '`') out += '`';
    out += c;
  }
  out += '`';
  return out;
}

std::vector<std::string> TablesOf(SqlConnection& sql, const std::string& database) {
  std::vector<std::string> tables;
  for (const SqlRow& row : sql.Query(
           "SELECT TABLE_NAME FROM information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS BINARY) = " +
           SqlBytes(database) + " AND TABLE_TYPE <> 'VIEW' ORDER BY TABLE_NAME")) {
    tables.push_back(row[0]);
  }
  return tables;
}

}  // namespace xbagent
