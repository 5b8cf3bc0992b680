#pragma once

// A client connection through MariaDB Connector/C. Connection settings
// (socket, user, password) come from the [client] group of a defaults file,
// so a password never appears on a command line.

#include <functional>
#include <string>
#include <vector>

namespace xbagent {

using SqlRow = std::vector<std::string>;  // NULL reads as ""

class SqlConnection {
 public:
  // Connects; throws Failure with the server's or client's reason.
  // socket and user override the defaults file when not empty.
  SqlConnection(const std::string& defaultsFile, const std::string& socket,
                const std::string& user);
  ~SqlConnection();
  SqlConnection(const SqlConnection&) = delete;
  SqlConnection& operator=(const SqlConnection&) = delete;

  // Runs a statement and returns every row; throws Failure with the
  // server's error text ("query failed: ..."), and for a privilege the
  // server refuses, the statement that needed it.
  std::vector<SqlRow> Query(const std::string& sql);
  // The first column of the first row ("" when there is none).
  std::string Scalar(const std::string& sql);

  // The server's error number of the last failed statement (0: none).
  unsigned int LastErrorNumber() const { return lastError_; }
  // And its text, as the server gave it.
  const std::string& LastErrorText() const { return lastErrorText_; }
  // This session's id on the server (for KILL QUERY).
  unsigned long ConnectionId() const;

  // While a statement runs, stop is asked every 50 ms; once it answers
  // true, the statement is cancelled with KILL QUERY from a second
  // connection, and Query throws with the server's "interrupted" reason.
  void SetCancel(std::function<bool()> stop) { stop_ = std::move(stop); }

 private:
  std::vector<SqlRow> QueryWatched(const std::string& sql);
  std::vector<SqlRow> RunQuery(const std::string& sql);
  [[noreturn]] void FailQuery(const std::string& sql);

  void* mysql_;
  std::string defaultsFile_;
  std::string socket_;
  std::string user_;
  unsigned int lastError_ = 0;
  std::string lastErrorText_;
  std::function<bool()> stop_;
};

// The base tables and sequences of a database (not its views), by name.
std::vector<std::string> TablesOf(SqlConnection& sql, const std::string& database);

// Server error numbers the callers tell apart.
constexpr unsigned int kErLockWaitTimeout = 1205;
constexpr unsigned int kErQueryInterrupted = 1317;

// A string literal safe under any sql_mode: CONVERT(X'..' USING utf8mb4).
std::string SqlLiteral(const std::string& text);
// A hex literal of the raw bytes (X'..'), for comparisons with CAST(.. AS BINARY).
std::string SqlBytes(const std::string& text);
// A quoted identifier: `name` with ` doubled.
std::string SqlIdentifier(const std::string& name);

}  // namespace xbagent
