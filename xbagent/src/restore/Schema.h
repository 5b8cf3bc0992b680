#pragma once

// The backup's schema.sql (a mariadb-dump --no-data --databases NAME script)
// split into statements and sorted by where the restore runs them:
//
//   session  SET statements: run on every connection applying the script,
//            in their order (character sets, sql_mode, checks)
//   shadow   tables and sequences (CREATE/DROP TABLE, CREATE SEQUENCE,
//            DO SETVAL, ALTER TABLE): run with USE <shadow>
//   target   views, triggers, routines, events, ALTER DATABASE: run with
//            USE <target> after the swap
//   skip     CREATE DATABASE, USE, LOCK/UNLOCK TABLES
//
// The splitter understands DELIMITER lines, quoted strings and identifiers,
// comments and the dump's executable comments (/*!50003 ... */).

#include <set>
#include <string>
#include <vector>

namespace xbagent {
namespace restore {

enum class Where { kSession, kShadow, kTarget, kSkip };
enum class Object { kNone, kTable, kSequence, kView, kTrigger, kRoutine, kEvent, kDatabase };

struct SchemaStatement {
  std::string text;       // without the delimiter
  Where where = Where::kShadow;
  Object object = Object::kNone;
  bool create = false;    // a CREATE (not a DROP or other)
  std::string name;       // the object's name, when known
  std::string onTable;    // triggers: the table they belong to
};

struct SchemaScript {
  std::vector<SchemaStatement> statements;
  std::string databaseOptions;         // of CREATE DATABASE: "DEFAULT CHARACTER SET ..."
  std::set<std::string> sequences;     // CREATE SEQUENCE names
  std::set<std::string> remoteTables;  // CREATE TABLE ... DATA/INDEX DIRECTORY
  int Count(Object object) const;      // CREATE statements of that kind
};

// Throws Failure on an unterminated quote or comment.
SchemaScript ParseSchema(const std::string& text);

// The statement with every reference to database `from` (a qualifier
// "from." or the name after DATABASE/SCHEMA, quoted or bare) made a
// reference to `to`. Strings and comments are left as they are.
std::string RenameDatabase(const std::string& statement, const std::string& from,
                           const std::string& to);

}  // namespace restore
}  // namespace xbagent
