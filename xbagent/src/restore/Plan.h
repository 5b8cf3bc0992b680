#pragma once

// The one-database restore (xbagent restore --database NAME): its options,
// the plan every phase reads and fills in, and the phases in the order they
// run. Each phase is a function in a file of its own:
//
//   CheckInput.cpp      the backup, the server, the target, leftovers of
//                       earlier runs, free space; prints the plan on --dry-run
//   ExtractPrepare.cpp  verify, extract and prepare (--export) in staging
//   BuildShadow.cpp     the schema's tables in a shadow database, each table
//                       filled from the staging copy and checked (TableCheck.h)
//   CheckShadow.cpp     the table list against the manifest, foreign keys,
//                       a checkpoint
//   Swap.cpp            one multi-table RENAME TABLE: the target's tables out
//                       to a holding database, the shadow's in
//   Finish.cpp          views, triggers, routines, events; old tables dropped;
//                       an InnoDB checkpoint
//   CleanUp.cpp         removes what this run (or a dead earlier run) left
//
// Nothing in the target changes before Swap; a failure before it removes
// the shadow and says "nothing was changed".

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "../pitr/PointInTime.h"
#include "../Commands.h"
#include "../Manifest.h"
#include "../RunLock.h"
#include "../Sql.h"
#include "../SwapJournal.h"
#include "Schema.h"

namespace xbagent {
namespace restore {

struct Options {
  std::string database;    // the backup's database, as in SQL
  std::string target;      // where it goes: database, or --as NEWNAME
  bool renamed = false;    // --as given
  std::vector<std::string> tables;  // --table (empty: every table)
  std::string backupDir;     // "" when the stream comes on standard input
  bool fromStdin = false;    // --from -
  std::string manifestFile;  // --manifest FILE (with --from -)
  std::string schemaFile;    // --schema FILE (with --from -)
  std::string keyFile;       // --encrypt-key-file FILE
  std::string defaultsFile;
  bool replace = false;
  bool dryRun = false;
  bool json = false;       // --json: the result as one JSON object on stdout
  unsigned lockWaitSeconds = 60;
  std::string toolDir;
  std::string datadir;
  std::string socket;
  std::string user;
  std::string stagingDir;
  PointInTimeTarget pointInTime;  // --binlogs with --until or --until-gtid
  bool allowOrphans = false;      // --allow-orphans
};

Options ParseOptions(const ArgList& argv);

enum class Kind { kInnoDb, kFulltext, kPartitioned, kMyIsam, kAria, kSequence, kSchemaOnly };
const char* KindName(Kind kind);
// The steps a table of this kind gets, for the plan and the README.
const char* KindSteps(Kind kind, bool partitioned);

struct Table {
  std::string name;  // as in SQL
  std::string stem;  // on-disk file name stem
  std::string engine;
  bool partitioned = false;
  bool fulltext = false;
  Kind kind = Kind::kInnoDb;
  std::vector<std::string> leafFiles;  // partitioned: staging stems "t#P#p0[#SP#..]"
};

// A foreign key of a table that stays where it is, referencing a table the
// swap replaces: after the swap it is pointed at the restored table.
struct ForeignKey {
  std::string schema, table, name;  // the referencing table and constraint
  std::string columns, refTable, refColumns;  // quoted column lists
  std::string updateRule, deleteRule;
};

// The server-side names of this run: shadow and holding databases, all
// beginning with kReservedPrefix and carrying the run's identity
// (RunIdentity, IsRunAlive).
constexpr const char* kReservedPrefix = "xbagent#";

struct Plan {
  Options options;
  ManifestSummary manifest;
  std::string schemaPath;
  std::string key;            // of an encrypted backup
  std::string source;         // the backup directory, or "standard input"
  SchemaScript schema;
  std::vector<Table> tables;  // those restored
  std::string identity;
  std::string shadow;         // xbagent#shadow#<identity>
  std::string holding;        // xbagent#old#<identity>

  // The server.
  std::unique_ptr<SqlConnection> sql;
  std::string version;
  std::string datadir;
  uid_t ownerUid = 0;
  gid_t ownerGid = 0;
  bool targetExists = false;
  std::vector<std::string> targetTables;  // every base table and sequence now in the target
  std::vector<std::string> swappedOut;    // target tables the swap moves to the holding database
  std::vector<ForeignKey> outsideKeys;
  std::vector<std::string> replicas;

  std::shared_ptr<RunLock> lock;  // one restore into the target at a time
  // Staging.
  std::shared_ptr<void> stagingGuard;
  std::string staging;
  bool stagingCreated = false;
  long fileNumber = 0;
  long position = 0;
  bool haveBinlog = false;

  // Progress, for the summary and for what a failure leaves.
  bool shadowCreated = false;
  std::vector<ExchangedTable> exchanged;  // partitioned tables, staged by Swap
  SwapJournal journal;     // written before the target changes (Swap)
  bool journalled = false;
  bool swapped = false;
  std::map<Kind, int> byKind;
  int partitions = 0;
  uint64_t bytes = 0;
  std::map<std::string, double> seconds;  // per phase
};

// One more connection with the restore's session settings; a cancellable
// one stops its statement (KILL QUERY) on SIGINT/SIGTERM.
std::unique_ptr<SqlConnection> Connect(const Plan& plan, bool cancellable = true);
// Runs a statement for the restore of table (may be empty); on failure the
// message names the table, the statement and the server's reason, and for
// a lock wait timeout the sessions that may hold the lock.
void Exec(Plan& plan, SqlConnection& sql, const std::string& table, const std::string& statement);
std::string Quoted(const std::string& name);
std::string JoinNames(const std::vector<std::string>& names, size_t limit);
// Base tables and sequences of a database.
std::vector<std::string> ListTables(SqlConnection& sql, const std::string& database);
// Free space against what staging and the shadow need; enough is set.
std::string CheckSpace(const Plan& plan, bool* enough);
std::string StagingParent(const Plan& plan);
// The quoted column list of a foreign key, or of the columns it references.
std::string ForeignKeyColumns(SqlConnection& sql, const ForeignKey& key, bool referenced);
// Throws "interrupted" with what is said about the state.
void CheckStop(const std::string& state);

// How long WriteInnodbCheckpoint may wait, before the swap and after it.
constexpr double kCheckpointWaitSeconds = 60;
bool HasInnoDb(const Plan& plan);

// Partitioned tables: refused when the swap could not exchange them
// (CheckInput); their partitions moved into work tables of the shadow, and
// their definitions checked against the target's (Swap, before the journal).
void CheckPartitionedTables(Plan& plan);
void StagePartitions(Plan& plan, SqlConnection& sql);
bool Exchanged(const Plan& plan, const std::string& name);
// The phases, in order.
void CheckInput(Plan& plan);
void PrintDryRun(const Plan& plan);
void ExtractPrepare(Plan& plan);
void BuildShadow(Plan& plan);
// Runs the schema's statements for one destination (with the SET
// statements) on sql, references to the backup's database made references
// to database; a trial leaves out events. Throws naming the statement.
void ApplySchema(Plan& plan, SqlConnection& sql, Where where, const std::string& database,
                 bool trial);
// Removes the views, triggers and routines tried in the shadow.
void DropShadowObjects(Plan& plan, SqlConnection& sql);
void CheckShadow(Plan& plan);
void Swap(Plan& plan);
void Finish(Plan& plan);
// Before the swap's journal: drops the shadow (and the staging directory
// goes with its guard). Never throws.
void CleanUpAfterFailure(Plan& plan);
// Leftovers of runs that no longer run: hurried InnoDB flushing (see
// HurriedFlushing.h), shadow and holding databases,
// staging directories, old work tables in the target. Says what it removes.
void RemoveLeftovers(Plan& plan, bool dryRun);

}  // namespace restore
}  // namespace xbagent

namespace xbagent {
namespace restore {
// The on-disk (file-name) form of a database or table name.
std::string OnDisk(const std::string& name);
// The database's directory in the backup: the manifest's database_on_disk
// when it has one.
std::string BackupDirectory(const Plan& plan);
// The directory under which default staging directories are made.
std::string ScratchBase();
}  // namespace restore
}  // namespace xbagent
