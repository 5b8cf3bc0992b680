// The CHECK TABLE of a restore's shadow tables, run beside the imports,
// against the throwaway server (the CTest fixture starts it).

#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness/Harness.h"
#include "restore/TableCheck.h"

namespace {

using xbagent::restore::Kind;
using xbagent::restore::Table;
using xbagent::restore::TableChecker;

const char kDb[] = "xbck_shadow";

Table Named(const std::string& name, Kind kind = Kind::kInnoDb) {
  Table table;
  table.name = name;
  table.kind = kind;
  return table;
}

// Sound tables pass; a table whose data file lost its rows fails, named, and
// once a failure is known the next table is refused instead of queued.
TEST(TableCheckerTest, PassesSoundTablesAndNamesABrokenOne) {
  xbtest::Sandbox sandbox = xbtest::GetSandbox();
  if (!sandbox.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
  if (::geteuid() != 0) GTEST_SKIP() << "damaging a table's file in the datadir needs root";
  int status = 0;
  sandbox.Sql(std::string("SET sql_log_bin = 0; DROP DATABASE IF EXISTS ") + kDb + "; CREATE DATABASE " + kDb +
                  "; USE " + kDb + ";\n"
                  "CREATE TABLE a (id INT PRIMARY KEY, v VARCHAR(20), KEY (v)) ENGINE=InnoDB;\n"
                  "INSERT INTO a SELECT seq, CONCAT('v', seq) FROM seq_1_to_5000;\n"
                  "CREATE TABLE b LIKE a; INSERT INTO b SELECT * FROM a;\n"
                  "CREATE SEQUENCE s;\n"
                  "CREATE TABLE broken (id INT PRIMARY KEY, v INT) ENGINE=MyISAM;\n"
                  "INSERT INTO broken SELECT seq, seq FROM seq_1_to_500;\n"
                  "FLUSH TABLES broken;\n",
              &status);
  ASSERT_EQ(status, 0);
  ASSERT_EQ(::truncate((sandbox.datadir + "/" + kDb + "/broken.MYD").c_str(), 0), 0);

  xbagent::restore::Plan plan;
  plan.options.defaultsFile = sandbox.cnf;
  plan.shadow = kDb;
  {
    TableChecker checker(plan);
    for (const Table& table : {Named("a"), Named("b"), Named("s", Kind::kSequence)}) {
      checker.Add(table);
    }
    EXPECT_NO_THROW(checker.Finish());
  }
  {
    TableChecker checker(plan);
    checker.Add(Named("broken", Kind::kMyIsam));
    std::string failure;
    try {
      for (int i = 0; i < 100; ++i) {
        ::usleep(50 * 1000);
        checker.Add(Named("a"));
      }
      checker.Finish();
    } catch (const xbagent::Failure& error) {
      failure = error.what();
    }
    EXPECT_NE(failure.find("table `broken` fails CHECK TABLE after the import"), std::string::npos)
        << failure;
  }
  sandbox.Sql(std::string("SET sql_log_bin = 0; DROP DATABASE ") + kDb + ";\n");
}

}  // namespace
