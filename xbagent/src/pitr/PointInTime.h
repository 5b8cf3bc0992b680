#pragma once

// Point-in-time restores: after a restore, the archived binary logs
// (xbagent binlog-archive) are replayed from the backup's coordinates up to
// a time or a GTID. One file per step:
//
//   ReplayPlan.cpp      pure logic: the target, the files from the backup's
//                       coordinates to it, the gaps that refuse the restore
//   CheckArchive.cpp    the planned files against the disk and the index
//   ReplayEvents.cpp    mariadb-binlog piped through xbagent into a client
//   ReplayServer.cpp    whole server: the restored copy on a private server
//   ReplayDatabase.cpp  one database: its events only, into the live server

#include <cstdint>
#include <string>
#include <vector>

#include "../JsonDoc.h"
#include "../binlog_archive/ArchivePhases.h"

namespace xbagent {

// What the user asked for: --binlogs DIR with --until or --until-gtid.
struct PointInTimeTarget {
  std::string archiveDir;
  std::string until;      // "YYYY-MM-DD HH:MM:SS", local time
  std::string untilGtid;  // "domain-server-seq"
  bool Wanted() const { return !archiveDir.empty(); }
};

// Checks the options' combination and forms (UsageFail); the directory is
// made absolute.
PointInTimeTarget PointInTimeFromOptions(const std::string& binlogs, bool hasUntil,
                                         const std::string& until, bool hasUntilGtid,
                                         const std::string& untilGtid);

// True for "YYYY-MM-DD HH:MM:SS" with a valid date and time.
bool IsLocalDateTime(const std::string& text);

// The backup's binary-log coordinates (manifest "binlog").
struct BinlogCoordinates {
  std::string file;
  uint64_t position = 0;
  std::string gtid;
};
// Fails when the backup has none (binary logging was off).
BinlogCoordinates CoordinatesOfBackup(const Json& manifest);

struct ReplayPlan {
  std::vector<ArchivedFile> files;  // from the backup's file to the target's, in order
  std::string archiveDir;
  std::vector<std::string> decoderOptions;  // start and stop options of mariadb-binlog
};

// The files to replay; refuses (Failure, naming the gap) when the archive
// lacks the backup's file, a file of the sequence, or the events up to the
// target.
ReplayPlan PlanReplay(const PointInTimeTarget& target, const BinlogCoordinates& from,
                      const ArchiveIndex& index);

// The binary-log position the prepare recorded for the data (the file
// xtrabackup_binlog_pos_innodb: "FILE<TAB>POSITION"); false when malformed.
bool ParseInnodbPosition(const std::string& text, std::string* file, uint64_t* position);
// True when the data's position lies after the backup's coordinates (same
// log base name; a later file, or a later position in the same file).
bool DataPastCoordinates(const std::string& dataFile, uint64_t dataPosition,
                         const BinlogCoordinates& from);
// Fails when the prepared copy in preparedDir holds InnoDB transactions
// logged after the manifest's coordinates: a replay would apply them twice.
void CheckDataMatchesCoordinates(const std::string& preparedDir, const Json& manifest);

// Every planned file is on disk with the size (and, once closed, the
// SHA-256) the index records; else a Failure naming it.
void CheckArchiveFiles(const ReplayPlan& plan);

// Loads the index, plans and checks: everything a replay needs, before the
// restore changes anything.
ReplayPlan PrepareReplay(const PointInTimeTarget& target, const Json& manifest);

struct ReplayResult {
  std::string lastGtid;
  std::string lastTime;
  uint64_t transactions = 0;
};

// mariadb-binlog over the plan's files (with extra decoder options), its
// output through xbagent into client (an argument vector).
ReplayResult ReplayEvents(const ReplayPlan& plan, const std::vector<std::string>& extraOptions,
                          const std::vector<std::string>& client, const std::string& errorFile);

// Whole server: starts a private server on dataDir (no network, its socket
// in a scratch directory), replays, stops it.
ReplayResult ReplayIntoCopy(const ReplayPlan& plan, const std::string& dataDir);

// One database, before the restore changes anything: refuses when a
// statement-based event in the plan's range cannot be filtered exactly
// (StatementCheck), warns when the server does not log in ROW format.
// With asName (--as), a statement in NAME that qualifies a name with NAME
// is refused too: the replay would change the live NAME.
void CheckDatabaseReplay(const ReplayPlan& plan, const std::string& defaultsFile,
                         const std::string& name, const std::string& asName);
// The databases a statement run in NAME must not name: every other one, and
// NAME itself when the replay goes to asName.
std::vector<std::string> ReplayOthers(const std::vector<std::string>& databases,
                                      const std::string& name, const std::string& asName);
// One database: replays NAME's events (rewritten to asName when not empty)
// into the server of defaultsFile with sql_log_bin=0.
ReplayResult ReplayDatabase(const ReplayPlan& plan, const std::string& defaultsFile,
                            const std::string& name, const std::string& asName);

// Statement-logged events that make a one-database replay inexact: a
// statement run with another default database that names the database
// (the filter leaves it out), or one run in it that qualifies a name with
// one of the other databases (the replay would change or read the live
// one). Pure, for the lines of mariadb-binlog's output; problem() describes
// the first, or is "".
class StatementCheck {
 public:
  StatementCheck(std::string database, std::vector<std::string> others)
      : database_(std::move(database)), others_(std::move(others)) {}
  void Line(const std::string& line);
  const std::string& problem() const { return problem_; }

 private:
  void Judge();
  std::string database_;
  std::vector<std::string> others_;
  std::string current_;  // the default database of the statements
  std::string time_;
  std::string statement_;
  bool inQuery_ = false;
  std::string problem_;
};

// The lines a point-in-time restore prints: "last_gtid=", "last_time=".
void PrintReplayResult(const ReplayResult& result);
Json ReplayResultJson(const ReplayResult& result);

}  // namespace xbagent
