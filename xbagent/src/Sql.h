#pragma once

// A client connection through MariaDB Connector/C. Connection settings
// (socket, user, password) come from the [client] group of a defaults file,
// so a password never appears on a command line.

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
  // server's error text.
  std::vector<SqlRow> Query(const std::string& sql);
  // The first column of the first row ("" when there is none).
  std::string Scalar(const std::string& sql);

 private:
  void* mysql_;
};

// A string literal safe under any sql_mode: CONVERT(X'..' USING utf8mb4).
std::string SqlLiteral(const std::string& text);
// A hex literal of the raw bytes (X'..'), for comparisons with CAST(.. AS BINARY).
std::string SqlBytes(const std::string& text);
// A quoted identifier: `name` with ` doubled.
std::string SqlIdentifier(const std::string& name);

}  // namespace xbagent
