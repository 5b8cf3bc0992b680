// The one-database restore's reading of schema.sql: statements split as the
// client splits them, sorted by where the restore runs them, and references
// to the backed-up database rewritten for --as.

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "restore/Schema.h"

namespace {

using xbagent::restore::Object;
using xbagent::restore::ParseSchema;
using xbagent::restore::RenameDatabase;
using xbagent::restore::SchemaScript;
using xbagent::restore::SchemaStatement;
using xbagent::restore::Where;

// The shape mariadb-dump --no-data --routines --triggers --events --databases
// gives a database, shortened.
const char kDump[] = R"sql(/*M!999999\- enable the sandbox mode */ 
-- MariaDB dump 10.19
/*!40101 SET NAMES utf8mb4 */;
CREATE DATABASE /*!32312 IF NOT EXISTS*/ `d1` /*!40100 DEFAULT CHARACTER SET utf8mb4 COLLATE utf8mb4_general_ci */;
USE `d1`;
DROP SEQUENCE IF EXISTS `sq`;
CREATE SEQUENCE `sq` start with 1 minvalue 1 maxvalue 9223372036854775806 increment by 1 cache 1000 nocycle ENGINE=InnoDB;
DO SETVAL(`sq`, 1001, 0);
DROP TABLE IF EXISTS `parent`;
CREATE TABLE `parent` (
  `id` int(11) NOT NULL,
  `name` varchar(20) DEFAULT ';;',
  PRIMARY KEY (`id`)
) ENGINE=InnoDB;
CREATE TABLE `far` (`id` int) ENGINE=InnoDB DATA DIRECTORY='/srv/far';
DELIMITER ;;
/*!50003 CREATE*/ /*!50017 DEFINER=`root`@`localhost`*/ /*!50003 TRIGGER tr BEFORE INSERT ON parent FOR EACH ROW SET NEW.name = UPPER(NEW.name) 
*/;;
DELIMITER ;
/*!50001 DROP VIEW IF EXISTS `vw`*/;
/*!50001 CREATE VIEW `vw` AS SELECT
 NULL AS `id` */;
/*!50106 DROP EVENT IF EXISTS `ev` */;
DELIMITER ;;
/*!50106 CREATE*/ /*!50117 DEFINER=`root`@`localhost`*/ /*!50106 EVENT `ev` ON SCHEDULE EVERY 1 DAY DO DELETE FROM parent WHERE id<0 
*/ ;;
DELIMITER ;
DELIMITER ;;
CREATE DEFINER=`root`@`localhost` PROCEDURE `pr`()
BEGIN
  SELECT * FROM d1.parent;
  SELECT 'a;b';
END ;;
DELIMITER ;
ALTER DATABASE `d1` CHARACTER SET utf8mb4;
)sql";

const SchemaStatement* Find(const SchemaScript& script, Object object, bool create) {
  for (const SchemaStatement& statement : script.statements) {
    if (statement.object == object && statement.create == create) return &statement;
  }
  return nullptr;
}

TEST(SchemaTest, SplitsAndSortsADump) {
  SchemaScript script = ParseSchema(kDump);
  int session = 0, shadow = 0, target = 0;
  for (const SchemaStatement& statement : script.statements) {
    if (statement.where == Where::kSession) ++session;
    if (statement.where == Where::kShadow) ++shadow;
    if (statement.where == Where::kTarget) ++target;
    EXPECT_NE(statement.where, Where::kSkip);
  }
  EXPECT_EQ(session, 1);  // SET NAMES
  EXPECT_EQ(shadow, 6);   // DROP/CREATE SEQUENCE, SETVAL, DROP/CREATE parent, far
  EXPECT_EQ(target, 7);   // trigger, 2 view, 2 event, procedure, ALTER DATABASE
  EXPECT_EQ(script.databaseOptions,
            "DEFAULT CHARACTER SET UTF8MB4 COLLATE UTF8MB4_GENERAL_CI");
  EXPECT_EQ(script.sequences.count("sq"), 1u);
  EXPECT_EQ(script.remoteTables.count("far"), 1u);
  EXPECT_EQ(script.remoteTables.count("parent"), 0u);

  const SchemaStatement* table = Find(script, Object::kTable, true);
  ASSERT_NE(table, nullptr);
  EXPECT_EQ(table->name, "parent");
  EXPECT_NE(table->text.find("DEFAULT ';;'"), std::string::npos) << table->text;
  const SchemaStatement* trigger = Find(script, Object::kTrigger, true);
  ASSERT_NE(trigger, nullptr);
  EXPECT_EQ(trigger->onTable, "parent");  // a bare name, as written
  const SchemaStatement* routine = Find(script, Object::kRoutine, true);
  ASSERT_NE(routine, nullptr);
  EXPECT_EQ(routine->name, "pr");
  EXPECT_NE(routine->text.find("SELECT 'a;b';\nEND"), std::string::npos) << routine->text;
  EXPECT_EQ(script.Count(Object::kEvent), 1);
  EXPECT_EQ(script.Count(Object::kView), 1);
}

TEST(SchemaTest, FailsOnAnUnterminatedQuote) {
  EXPECT_THROW(ParseSchema("CREATE TABLE `t (a int);"), std::exception);
  EXPECT_THROW(ParseSchema("SELECT 'abc;"), std::exception);
}

TEST(SchemaTest, RenamesReferencesToTheDatabaseOnly) {
  struct Case {
    const char* in;
    const char* out;
  };
  const Case cases[] = {
      {"SELECT * FROM `d1`.`t`", "SELECT * FROM `new db`.`t`"},
      {"SELECT * FROM d1.t", "SELECT * FROM `new db`.t"},
      {"SELECT * FROM d1 . t", "SELECT * FROM `new db` . t"},
      {"SELECT 'd1.t', \"d1.t\"", "SELECT 'd1.t', \"d1.t\""},
      {"SELECT `t`.`d1` FROM t", "SELECT `t`.`d1` FROM t"},
      {"SELECT d1 FROM t", "SELECT d1 FROM t"},
      {"SELECT * FROM `d1`.`d1`", "SELECT * FROM `new db`.`d1`"},
      {"ALTER DATABASE `d1` CHARACTER SET latin1", "ALTER DATABASE `new db` CHARACTER SET latin1"},
      {"/* d1.t */ SELECT 1", "/* d1.t */ SELECT 1"},
      {"/*!50001 VIEW `v` AS select `d1`.`t`.`a` from `d1`.`t` */",
       "/*!50001 VIEW `v` AS select `new db`.`t`.`a` from `new db`.`t` */"},
      {"SELECT * FROM d10.t, xd1.t", "SELECT * FROM d10.t, xd1.t"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(RenameDatabase(c.in, "d1", "new db"), c.out) << c.in;
  }
  EXPECT_EQ(RenameDatabase("SELECT * FROM `a``b`.t", "a`b", "c"), "SELECT * FROM `c`.t");
}

}  // namespace
