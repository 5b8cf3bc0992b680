// Tables with DATA DIRECTORY in the one-database restore: the hidden names a
// run gives such tables in the target, read back by the next run, and the
// table kinds it refuses to move outside the data directory.

#include <string>

#include <gtest/gtest.h>

#include "Common.h"
#include "restore/Plan.h"
#include "restore/RemoteTables.h"

namespace {

using xbagent::restore::HiddenTable;
using xbagent::restore::HiddenTableIdentity;
using xbagent::restore::Kind;
using xbagent::restore::RefuseRemoteKind;
using xbagent::restore::Table;

TEST(RemoteTables, HiddenNamesCarryTheRunIdentity) {
  EXPECT_EQ(HiddenTable("123#456", "new", 1), "xbagent#new#123#456#1");
  EXPECT_EQ(HiddenTableIdentity(HiddenTable("123#456", "old", 12)), "123#456");
  struct Case {
    const char* name;
    const char* identity;
  } cases[] = {
      {"xbagent#new#1#2#3", "1#2"},  {"xbagent#old#40#5#10", "40#5"},
      {"xbagent#new#1#2#", ""},      {"xbagent#new#1#2", ""},
      {"xbagent#new##2#3", ""},      {"xbagent#new#1#x#3", ""},
      {"xbagent#shadow#1#2#3", ""},  {"xbagent#new#1#2#3#4", ""},
      {"far", ""},                   {"xbagent_restore_1_2", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(HiddenTableIdentity(c.name), c.identity) << c.name;
}

TEST(RemoteTables, OnlyPlainInnoDbTablesKeepADataDirectory) {
  struct Case {
    Kind kind;
    bool partitioned;
    const char* engine;
    bool refused;
  } cases[] = {
      {Kind::kInnoDb, false, "InnoDB", false},     {Kind::kFulltext, false, "InnoDB", true},
      {Kind::kPartitioned, true, "InnoDB", true},  {Kind::kMyIsam, false, "MyISAM", true},
      {Kind::kAria, false, "Aria", true},          {Kind::kMyIsam, true, "MyISAM", true},
  };
  for (const Case& c : cases) {
    Table table;
    table.name = "far";
    table.kind = c.kind;
    table.partitioned = c.partitioned;
    table.engine = c.engine;
    std::string message;
    try {
      RefuseRemoteKind(table);
    } catch (const xbagent::Failure& failure) {
      message = failure.what();
    }
    EXPECT_EQ(!message.empty(), c.refused) << c.engine;
    if (c.refused) {
      EXPECT_NE(message.find("`far`"), std::string::npos) << message;
      EXPECT_NE(message.find("nothing was changed"), std::string::npos) << message;
    }
  }
}

}  // namespace
