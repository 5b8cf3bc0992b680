#pragma once

// The swap of a one-database restore, journalled on the server before it
// changes anything: a restore moves the target's tables out to a holding
// database xbagent#old#<run> and the shadow's tables in with one RENAME
// TABLE, then creates the backup's views, triggers, routines and events.
// Before the first change, the holding database gets the journal: the
// target, the shadow, the tables each way, the statements that create the
// objects, and the triggers dropped before the rename. Whichever xbagent
// run comes next against that server (a restore --database or a backup)
// finds the journal of a run that no longer runs, looks at where every table
// and tablespace is, and finishes the swap (it happened) or undoes it (it
// did not), saying which. When the server shows neither state (a crash
// recovery that put a table back but left some of its tablespaces in the
// holding database), nothing is removed and the run names what is where.

#include <map>
#include <string>
#include <vector>

#include "JsonDoc.h"
#include "Sql.h"

namespace xbagent {

// Journal table names, inside the holding database.
constexpr const char* kSwapJournal = "xbagent#swap";
constexpr const char* kObjectJournal = "xbagent#objects";
constexpr const char* kTriggerJournal = "xbagent#triggers";

// One statement of the backup's schema for the target, with the session
// statements (SET ...) before it that it relies on.
struct ObjectStatement {
  std::string kind;  // "view", "trigger", "routine", "event" or "other"
  std::string name;  // of a view or trigger
  std::vector<std::string> prelude;
  std::string text;
};

struct SavedTrigger {
  std::string name, sqlMode, statement, charset, collation;
};

// A partitioned table is never renamed: the server's crash recovery of such
// a rename can leave its definition in one database and some of its
// partitions in the other. Its partitions are exchanged one by one instead
// (ALTER TABLE ... EXCHANGE PARTITION, atomic on its own) with tables of the
// shadow that each hold one restored partition. The old partitions end up
// in those tables, and an exchange run again undoes one.
struct ExchangedTable {
  std::string name;
  bool created = false;             // the target had no such table: created empty first
  std::vector<std::string> leaves;  // partitions (subpartitions when it has them), as in SQL
  std::vector<std::string> work;    // the shadow's table holding each restored leaf
  std::vector<std::string> restored;  // InnoDB space id of each work table, before
  std::string live;                 // space ids of the target's table, before ("" if created)
};

struct SwapJournal {
  std::string run;                 // the run's identity
  std::string target, shadow, holding;
  bool createdTarget = false;      // the target did not exist before
  bool replaceObjects = false;     // the target's own views, routines, events go first
  bool swapped = false;            // the rename is known to have happened
  std::vector<std::string> out;    // target tables moved to the holding database
  std::vector<std::string> in;     // shadow tables moved into the target
  std::vector<ObjectStatement> objects;
  // InnoDB's space ids of each table's tablespaces (a partitioned table has
  // one per partition) before the rename, "id,id,...": what each name must
  // hold afterwards, on one side or the other.
  std::map<std::string, std::string> outSpaces, inSpaces;
  std::vector<ExchangedTable> exchanged;  // neither in out nor in
};

// The space ids of the InnoDB tablespaces of a table (each partition has
// one), sorted, "id,id,..."; "" for other engines or no such table.
std::string SpacesOf(SqlConnection& sql, const std::string& database, const std::string& table);
// The table can be read.
bool Opens(SqlConnection& sql, const std::string& database, const std::string& table);

// Sets the session up for the journal's statements: nothing reaches the
// binary log, foreign keys are not checked.
void JournalSession(SqlConnection& sql);

// Fills in the space ids of the tables each way, as they are now.
void RecordSpaces(SqlConnection& sql, SwapJournal* journal);
// Creates the holding database and writes the journal into it.
void WriteSwapJournal(SqlConnection& sql, const SwapJournal& journal);
// Saves the target's triggers on the tables that move out into the journal,
// before the caller drops them (a table with triggers cannot change database).
std::vector<SavedTrigger> JournalTriggers(SqlConnection& sql, const SwapJournal& journal);
// Records that the rename happened.
void MarkSwapped(SqlConnection& sql, const SwapJournal& journal);
// Reads the journal of a holding database; false when it has none.
bool ReadSwapJournal(SqlConnection& sql, const std::string& holding, SwapJournal* journal);

// The partition exchanges, in the journal's order; each leaf first checks
// whether it is still to be exchanged (a rerun continues). Throws.
void ExchangePartitions(SqlConnection& sql, const SwapJournal& journal);
// How many leaves are exchanged, of how many; what is in neither state is
// added to detail ("; ..." each).
void InspectExchanges(SqlConnection& sql, const SwapJournal& journal, size_t* done, size_t* total,
                      std::string* detail);
// Every exchanged leaf exchanged back, tables the run created dropped; the
// problems ("" when none). The shadow holds the target's old partitions
// until this succeeds.
std::string UndoExchanges(SqlConnection& sql, const SwapJournal& journal);
Json ExchangeJson(const ExchangedTable& table);
ExchangedTable ExchangeFromJson(const Json& json);

enum class SwapState { kBefore, kAfter, kMixed };
// Where the journal's tables are: before the rename, after it, or neither
// (detail then says what is where).
SwapState InspectSwap(SqlConnection& sql, const SwapJournal& journal, std::string* detail);

// After the rename: the backup's objects, foreign keys of other tables that
// follow the old tables, the old tables, the shadow and the journal. Throws
// naming the step that failed; running it again continues.
void FinishSwap(SqlConnection& sql, const SwapJournal& journal);
// Before the rename (or when it failed): the dropped triggers back, the
// shadow and a target the run created dropped, the journal removed. The
// problems, if any, are returned ("" when none).
std::string UndoSwap(SqlConnection& sql, const SwapJournal& journal);
// Recreates saved triggers in database; the problems ("" when none).
std::string RecreateTriggers(SqlConnection& sql, const std::string& database,
                             const std::vector<SavedTrigger>& saved);
// Drops one of the restore's own databases through the server; files the
// server no longer knows in its directory afterwards are removed and the
// drop repeated. Never removes a file while InnoDB still knows a tablespace
// of that database. Throws.
void DropOwnDatabase(SqlConnection& sql, const std::string& name);

// Journals of runs that no longer run: each swap finished or undone, and
// said; a journal whose tables are in neither state is left as it is, with
// a warning, or, when its target is stopFor, a Failure naming what is
// where. With dryRun only says what it would do.
void ResolveAbandonedSwaps(SqlConnection& sql, bool dryRun, const std::string& stopFor);

// For commands other than the restore: when the server holds a journal of
// a dead run, ResolveAbandonedSwaps on that connection (its session settings
// are put back after); a failure is a warning.
void FinishAbandonedRestores(SqlConnection& sql);

}  // namespace xbagent
