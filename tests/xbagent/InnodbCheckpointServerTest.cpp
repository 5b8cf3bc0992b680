// The InnoDB checkpoint a restore waits for, against the throwaway server
// (the CTest fixture starts it).

#include <chrono>
#include <string>

#include <gtest/gtest.h>

#include "Commands.h"
#include "harness/Harness.h"
#include "InnodbCheckpoint.h"

namespace xbagent {
// No signal handling here: nothing asks these tests to stop.
bool StopRequested() { return false; }
}  // namespace xbagent

namespace {

// The wait ends, within a second, on a server whose log ends with the record
// of its last checkpoint (an idle server), and after new writes.
TEST(InnodbCheckpointTest, IsWrittenOnAnIdleServerAndAfterWrites) {
  xbtest::Sandbox sandbox = xbtest::GetSandbox();
  if (!sandbox.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
  xbagent::SqlConnection sql(sandbox.cnf, "", "");
  sql.Query("CREATE DATABASE IF NOT EXISTS xb_checkpoint");
  const char* const setups[] = {
      "SET GLOBAL innodb_log_checkpoint_now = ON",
      "CREATE OR REPLACE TABLE xb_checkpoint.t (id INT PRIMARY KEY) ENGINE=InnoDB",
  };
  for (const char* setup : setups) {
    sql.Query(setup);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(xbagent::WriteInnodbCheckpoint(sql, 20)) << setup;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10)) << setup;
    EXPECT_EQ(sql.Scalar("SELECT @@GLOBAL.innodb_max_dirty_pages_pct > 0"), "1") << setup;
  }
  sql.Query("DROP DATABASE xb_checkpoint");
}

}  // namespace
