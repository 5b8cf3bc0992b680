// The logic of binlog-archive and point-in-time restores that needs no
// server: event headers, the replay plan and its gaps, the statement check,
// the connection settings given to mariadb-binlog.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "../../xbagent/src/Common.h"
#include "../../xbagent/src/binlog_archive/ArchivePhases.h"
#include "../../xbagent/src/pitr/PointInTime.h"

namespace xbagent {
namespace {

TEST(PointInTimeLogic, EventHeadersGiveLocalTimeAndGtid) {
  const struct {
    const char* line;
    bool header;
    const char* time;
    const char* gtid;
  } cases[] = {
      {"#261208  5:34:55 server id 1  end_log_pos 384 CRC32 0x8756d1b7 \tGTID 0-1-4 trans", true,
       "2026-12-08 05:34:55", "0-1-4"},
      {"#261231 23:59:09 server id 7  end_log_pos 642 CRC32 0x0510d589 \tGTID 2-7-31 ddl", true,
       "2026-12-31 23:59:09", "2-7-31"},
      {"#261208  5:34:55 server id 1  end_log_pos 473 CRC32 0x656cb079 \tQuery\tthread_id=5", true,
       "2026-12-08 05:34:55", ""},
      {"#261208  5:34:55 server id 1  end_log_pos 299 CRC32 0xde5c7b9d \tGtid list [0-1-3]", true,
       "2026-12-08 05:34:55", ""},
      {"# at 384", false, "", ""},
      {"insert into t values ('#261208  5:34:55 server id 1')", false, "", ""},
      {"#2612  5:34:55 server id 1", false, "", ""},
  };
  for (const auto& c : cases) {
    EventHeader header;
    ASSERT_EQ(ParseEventHeader(c.line, &header), c.header) << c.line;
    if (!c.header) continue;
    EXPECT_EQ(header.time, c.time) << c.line;
    EXPECT_EQ(header.gtid, c.gtid) << c.line;
  }
}

// The start of a binary log: magic, then a 19-byte event header whose last
// two bytes are the flags.
std::string LogHead(const std::string& magic, char type, char flags) {
  std::string head = magic + std::string(4, '\x11') + type + std::string(12, '\x22');
  return head + flags + '\0' + "rest";
}

TEST(PointInTimeLogic, TheInUseFlagOfACrashedLogIsClearedAsTheServerSendsIt) {
  const std::string magic("\xfe" "bin", 4);
  const struct {
    std::string head, expected;
  } cases[] = {
      {LogHead(magic, 15, '\x01'), LogHead(magic, 15, '\x00')},
      {LogHead(magic, 15, '\x05'), LogHead(magic, 15, '\x04')},  // other flags stay
      {LogHead(magic, 15, '\x04'), LogHead(magic, 15, '\x04')},
      {LogHead(magic, 2, '\x01'), LogHead(magic, 2, '\x01')},    // not a format description
      {LogHead(std::string("\xfe" "bim"), 15, '\x01'), LogHead(std::string("\xfe" "bim"), 15, '\x01')},  // not a binary log
      {magic + "short", magic + "short"},
  };
  for (const auto& c : cases) {
    std::string head = c.head;
    ClearInUseFlag(&head);
    EXPECT_EQ(head, c.expected);
  }
}

TEST(PointInTimeLogic, TargetsAreCheckedBeforeAnythingRuns) {
  EXPECT_TRUE(IsLocalDateTime("2026-12-08 05:34:55"));
  for (const char* bad : {"2026-12-08", "2026-13-08 05:34:55", "2026-12-08T05:34:55", "2026-12-08 24:00:00",
                          "2026-12-08 05:34:55 ", "yesterday"}) {
    EXPECT_FALSE(IsLocalDateTime(bad)) << bad;
  }
  const struct {
    bool hasUntil, hasGtid;
    const char* until;
    const char* gtid;
    bool ok;
  } cases[] = {
      {true, false, "2026-12-08 05:34:55", "", true},
      {false, true, "", "0-1-20", true},
      {true, true, "2026-12-08 05:34:55", "0-1-20", false},
      {false, false, "", "", false},
      {true, false, "now", "", false},
      {false, true, "", "0-1", false},
  };
  for (const auto& c : cases) {
    bool ok = true;
    try {
      PointInTimeFromOptions("archive", c.hasUntil, c.until, c.hasGtid, c.gtid);
    } catch (const Failure& failure) {
      ok = false;
      EXPECT_EQ(failure.code(), kExitUsage);
    }
    EXPECT_EQ(ok, c.ok) << c.until << c.gtid;
  }
}

ArchivedFile File(const char* name, const char* first, const char* last, const char* lastGtid,
                  bool closed) {
  ArchivedFile file;
  file.file = name;
  file.firstTime = first;
  file.lastTime = last;
  file.lastGtid = lastGtid;
  file.closed = closed;
  return file;
}

TEST(PointInTimeLogic, TheReplayPlanRunsFromTheBackupToTheTargetOrRefusesAGap) {
  ArchiveIndex full;
  full.Put(File("bin.000001", "2026-12-08 10:00:00", "2026-12-08 10:05:00", "0-1-5", true));
  full.Put(File("bin.000002", "2026-12-08 10:05:00", "2026-12-08 10:10:00", "0-1-9", true));
  full.Put(File("bin.000003", "2026-12-08 10:10:00", "2026-12-08 10:15:00", "0-1-12", false));
  full.coveredUntil = "2026-12-08 10:20:00";
  ArchiveIndex holed = full;
  holed.files.erase(holed.files.begin() + 1);

  const struct {
    const ArchiveIndex* index;
    const char* from;
    const char* until;
    const char* gtid;
    std::vector<std::string> files;  // empty: refused
    const char* reason;
  } cases[] = {
      {&full, "bin.000001", "2026-12-08 10:07:00", "", {"bin.000001", "bin.000002"}, ""},
      {&full, "bin.000002", "2026-12-08 10:12:00", "", {"bin.000002", "bin.000003"}, ""},
      {&full, "bin.000002", "2026-12-08 10:19:00", "", {"bin.000002", "bin.000003"}, ""},
      {&full, "bin.000001", "", "0-1-9", {"bin.000001", "bin.000002"}, ""},
      {&full, "bin.000001", "2026-12-08 10:21:00", "", {}, "does not reach the target"},
      {&full, "bin.000001", "", "0-1-13", {}, "does not reach the target GTID 0-1-13"},
      {&full, "bin.000001", "", "1-1-2", {}, "does not reach"},
      {&full, "bin.000004", "2026-12-08 10:12:00", "", {}, "does not hold bin.000004"},
      {&holed, "bin.000001", "2026-12-08 10:12:00", "", {}, "gap: the file after bin.000001"},
      {&holed, "bin.000002", "2026-12-08 10:12:00", "", {}, "does not hold bin.000002"},
      {&holed, "bin.000001", "2026-12-08 10:02:00", "", {"bin.000001"}, ""},
  };
  for (const auto& c : cases) {
    PointInTimeTarget target;
    target.archiveDir = "/archive";
    target.until = c.until;
    target.untilGtid = c.gtid;
    BinlogCoordinates from;
    from.file = c.from;
    from.position = 4;
    std::vector<std::string> planned;
    std::string reason;
    try {
      ReplayPlan plan = PlanReplay(target, from, *c.index);
      for (const ArchivedFile& file : plan.files) planned.push_back(file.file);
      EXPECT_EQ(plan.decoderOptions.front(), "--start-position=4");
    } catch (const Failure& failure) {
      reason = failure.what();
    }
    EXPECT_EQ(planned, c.files) << c.from << " " << c.until << c.gtid << ": " << reason;
    EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
    if (planned.empty()) {
      EXPECT_NE(reason.find("nothing was changed"), std::string::npos) << reason;
    }
  }
}

TEST(PointInTimeLogic, StatementsThatAOneDatabaseReplayCannotFilterAreFound) {
  const std::string query = "#261208  5:34:55 server id 1  end_log_pos 473 CRC32 0x6 \tQuery\tthread_id=5";
  const std::string rows = "#261208  5:34:55 server id 1  end_log_pos 600 CRC32 0x7 \tTable_map: `db`.`t`";
  const struct {
    std::vector<std::string> lines;
    const char* problem;  // "" when the replay is exact
  } cases[] = {
      {{query, "use `db`/*!*/;", "SET TIMESTAMP=1/*!*/;", "insert into t values (1)", "/*!*/;"}, ""},
      {{query, "use `other`/*!*/;", "insert into db.t values (1)", "/*!*/;"}, "default database 'other'"},
      {{query, "use `other`/*!*/;", "insert into `db`.`t` values (1)", "/*!*/;"}, "names 'db'"},
      {{query, "use `other`/*!*/;", "insert into t values ('db.t')", "/*!*/;"}, "names 'db'"},
      {{query, "use `other`/*!*/;", "insert into t values (1)", "/*!*/;"}, ""},
      {{query, "use `db`/*!*/;", "insert into other.t select * from t", "/*!*/;"}, "names the database 'other'"},
      {{query, "use `db`/*!*/;", "insert into t select o.id from t o", "/*!*/;"}, ""},
      {{query, "use `db`/*!*/;", "insert into t values ('other.t', 1.5)", "/*!*/;"}, ""},
      {{query, "use `other`/*!*/;", "BEGIN", "/*!*/;", rows, "BINLOG '", "AAAA", "'/*!*/;"}, ""},
  };
  for (const auto& c : cases) {
    StatementCheck check("db", {"other", "mysql"});
    for (const std::string& line : c.lines) check.Line(line);
    if (std::string(c.problem).empty()) {
      EXPECT_EQ(check.problem(), "") << c.lines[2];
    } else {
      EXPECT_NE(check.problem().find(c.problem), std::string::npos) << c.lines[2] << ": " << check.problem();
    }
  }
}

TEST(PointInTimeLogic, MariadbBinlogGetsOnlyConnectionSettings) {
  const std::string text =
      "[client]\nsocket=/run/s.sock\nuser = backup\ndefault-character-set=utf8mb4\npassword=se#cret\n"
      "[mysqld]\nport=3307\ndatadir=/var/lib/mysql\n"
      "[client-mariadb]\nssl_ca=/etc/ca.pem\n"
      "[mysqldump]\nuser=other\n";
  EXPECT_EQ(ConnectionSettings(text),
            "[client]\nsocket=/run/s.sock\nuser = backup\npassword=se#cret\nssl_ca=/etc/ca.pem\n");
  EXPECT_THROW(ConnectionSettings("[client]\n!include /etc/other.cnf\n"), Failure);
}

// The prepare's position of the data against the recorded coordinates: only
// a later one (a later file, or a later position in the same file) means
// the data holds transactions a replay would apply again.
TEST(PointInTimeLogic, DataPastTheRecordedCoordinatesIsFound) {
  BinlogCoordinates from;
  from.file = "mysql-bin.000007";
  from.position = 1000;
  const struct {
    const char* text;
    bool parsed;
    bool past;
  } cases[] = {
      {"./mysql-bin.000007\t1000\n", true, false},
      {"./mysql-bin.000007\t999\n", true, false},
      {"./mysql-bin.000006\t99999\n", true, false},
      {"./mysql-bin.000007\t1001\n", true, true},
      {"/var/log/mysql-bin.000008\t4\n", true, true},
      {"./other-bin.000009\t4\n", true, false},
      {"./mysql-bin.000007\t\n", false, false},
      {"./mysql-bin.000007\t12x\n", false, false},
      {"mysql-bin.000007 1000\n", false, false},
      {"./not-a-log\t5\n", false, false},
  };
  for (const auto& c : cases) {
    std::string file;
    uint64_t position = 0;
    ASSERT_EQ(ParseInnodbPosition(c.text, &file, &position), c.parsed) << c.text;
    if (!c.parsed) continue;
    EXPECT_EQ(DataPastCoordinates(file, position, from), c.past) << c.text;
  }
}

}  // namespace
}  // namespace xbagent

// Replayed under --as, a statement in the database that names the database
// itself would change the live one: mariadb-binlog renames only the default.
TEST(PointInTimeLogic, AStatementNamingTheDatabaseItselfIsRefusedUnderAs) {
  const std::vector<std::string> lines = {
      "#261208  5:34:55 server id 1  end_log_pos 473 CRC32 0x6 \tQuery\tthread_id=5",
      "use `db`/*!*/;", "insert into db.t values (1)", "/*!*/;"};
  for (const std::string& asName : {std::string(), std::string("copy")}) {
    xbagent::StatementCheck check("db", xbagent::ReplayOthers({"db", "other", "mysql"}, "db", asName));
    for (const std::string& line : lines) check.Line(line);
    EXPECT_EQ(check.problem().empty(), asName.empty()) << asName << ": " << check.problem();
  }
}
