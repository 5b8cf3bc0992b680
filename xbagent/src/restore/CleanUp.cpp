// Phase "clean up": what a failed run leaves before the swap (the shadow
// database; the staging directory goes with its guard), and what earlier
// runs that no longer run left: InnoDB flushing settings left hurried,
// shadow and holding databases and staging directories, found by the run
// identity in their names, and the work tables of older versions
// (xbagent_restore_<pid>_<n>) in the target.

#include <signal.h>
#include <unistd.h>

#include <set>

#include "../Common.h"
#include "../Fs.h"
#include "../HurriedFlushing.h"
#include "../Log.h"
#include "Plan.h"
#include "TableFiles.h"

namespace xbagent {
namespace restore {

namespace {

bool KnownServerFile(const std::string& name) {
  for (const char* ext : {".frm", ".ibd", ".MYD", ".MYI", ".MAD", ".MAI", ".par", ".opt", ".TRG",
                          ".TRN", ".isl", ".CSV", ".CSM", ".MRG", ".ARZ"}) {
    size_t n = std::string(ext).size();
    if (name.size() > n && name.compare(name.size() - n, n, ext) == 0) return true;
  }
  return false;
}

void Say(const std::string& text) { Log().Notice("xbagent: " + text); }

// A holding database of a dead run that has its trigger journal but no moved
// tables: the run died between dropping the target's triggers and the
// rename. The triggers go back.
void RestoreJournalledTriggers(Plan& plan, const std::string& holding, bool dryRun) {
  std::vector<std::string> tables = ListTables(*plan.sql, holding);
  if (tables.size() != 1 || tables[0] != kTriggerJournal) return;
  std::map<std::string, std::vector<SavedTrigger>> byDatabase;
  for (const SqlRow& row : plan.sql->Query(
           "SELECT db, name, sql_mode, statement, charset, collation FROM " + Quoted(holding) +
           "." + Quoted(kTriggerJournal))) {
    byDatabase[row[0]].push_back({row[1], row[2], row[3], row[4], row[5]});
  }
  for (const auto& entry : byDatabase) {
    for (const SavedTrigger& trigger : entry.second) {
      Say(std::string(dryRun ? "would recreate" : "recreating") + " trigger " +
          Quoted(entry.first) + "." + Quoted(trigger.name) +
          " that an earlier restore dropped before it died");
    }
    if (dryRun) continue;
    std::string problems;
    RecreateTriggers(plan, entry.first, entry.second, &problems);
    if (!problems.empty()) Fail(problems.substr(2) + "; the journal stays in '" + holding + "'");
  }
}

// "<digits>#<digits>": the identity part of the restore's own names.
bool IsIdentity(const std::string& text) {
  size_t hash = text.find('#');
  if (hash == std::string::npos || hash == 0 || hash + 1 >= text.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != hash && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

bool ProcessExists(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// The on-disk stems ("t", "t#P#p0") of the tablespaces the server knows in
// a database. An .ibd file without one is an orphan: a server crash between
// InnoDB's drop of a table and the removal of its file leaves it.
std::set<std::string> KnownTablespaces(SqlConnection& sql, const std::string& database) {
  const std::string prefix = OnDisk(database) + "/";
  std::set<std::string> stems;
  for (const SqlRow& row : sql.Query("SELECT NAME FROM information_schema.INNODB_SYS_TABLESPACES "
                                     "WHERE CAST(SUBSTRING_INDEX(NAME, '/', 1) AS BINARY) = " +
                                     SqlBytes(OnDisk(database)))) {
    if (row[0].compare(0, prefix.size(), prefix) == 0) stems.insert(row[0].substr(prefix.size()));
  }
  return stems;
}

bool IsOrphanTablespace(const std::set<std::string>& known, const std::string& file) {
  return file.size() > 4 && file.compare(file.size() - 4, 4, ".ibd") == 0 &&
         !known.count(file.substr(0, file.size() - 4));
}

}  // namespace

bool DropOwnDatabase(Plan& plan, const std::string& name, std::string* error) {
  // Files a killed run was copying, .cfg files, and tablespace files the
  // server lost track of in a crash make DROP DATABASE fail.
  const std::string dir = JoinPath(plan.datadir, OnDisk(name));
  try {
    std::unique_ptr<SqlConnection> sql = Connect(plan, false);
    std::vector<std::string> files;
    try {
      if (IsDirectory(dir)) files = ListDirectory(dir);
    } catch (const Failure&) {
    }
    const std::set<std::string> known = files.empty() ? std::set<std::string>()
                                                      : KnownTablespaces(*sql, name);
    for (const std::string& file : files) {
      if (!KnownServerFile(file) || IsOrphanTablespace(known, file)) {
        ::unlink(JoinPath(dir, file).c_str());
      }
    }
    sql->Query("DROP DATABASE IF EXISTS " + Quoted(name));
  } catch (const Failure& failure) {
    *error = "cannot drop database '" + name + "': " + failure.what();
    return false;
  }
  return true;
}

void CleanUpAfterFailure(Plan& plan) {
  if (!plan.shadowCreated || plan.swapped) return;
  std::string error;
  if (!DropOwnDatabase(plan, plan.shadow, &error)) {
    Log().Notice("xbagent: warning: " + error + " (the next restore removes it)");
  }
}

void RemoveLeftovers(Plan& plan, bool dryRun) {
  PutBackAbandonedFlushing(*plan.sql, dryRun);
  const std::string verb = dryRun ? "would remove " : "removing ";
  // Databases: xbagent#shadow#<id> and xbagent#old#<id>.
  for (const SqlRow& row : plan.sql->Query(
           "SELECT SCHEMA_NAME FROM information_schema.SCHEMATA WHERE SCHEMA_NAME LIKE "
           "'xbagent#%'")) {
    const std::string& name = row[0];
    std::string identity;
    for (const char* kind : {"xbagent#shadow#", "xbagent#old#"}) {
      if (name.compare(0, std::string(kind).size(), kind) == 0) {
        identity = name.substr(std::string(kind).size());
      }
    }
    if (!IsIdentity(identity)) continue;
    if (IsRunAlive(identity)) {
      Say("note: database '" + name + "' belongs to a restore still running; left alone");
      continue;
    }
    if (name.compare(0, 12, "xbagent#old#") == 0) RestoreJournalledTriggers(plan, name, dryRun);
    Say(verb + "database '" + name + "' left by an earlier restore that no longer runs");
    if (dryRun) continue;
    std::string error;
    if (!DropOwnDatabase(plan, name, &error)) Fail(error);
  }
  // Staging directories: <tmp>/xbagent-restore.<pid>-<start>.
  const std::string base = ScratchBase();
  std::vector<std::string> entries;
  try {
    entries = ListDirectory(base);
  } catch (const Failure&) {
  }
  const std::string prefix = kStagingPrefix;
  for (const std::string& entry : entries) {
    if (entry.compare(0, prefix.size(), prefix) != 0) continue;
    std::string identity = entry.substr(prefix.size());
    size_t dash = identity.find('-');
    if (dash == std::string::npos) continue;
    identity[dash] = '#';
    if (!IsIdentity(identity) || IsRunAlive(identity)) continue;
    const std::string path = JoinPath(base, entry);
    Say(verb + "staging directory " + path + " left by an earlier restore");
    if (!dryRun && RemoveTree(path) != 0) Fail("cannot remove " + path);
  }
  // Work tables of older versions in the target: xbagent_restore_<pid>_<n>.
  for (const SqlRow& row : plan.sql->Query(
           "SELECT TABLE_NAME FROM information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS BINARY) = " +
           SqlBytes(plan.options.target) + " AND TABLE_NAME LIKE 'xbagent\\_restore\\_%'")) {
    long pid = std::atol(row[0].c_str() + 16);
    if (ProcessExists(pid)) continue;
    Say(verb + "work table " + Quoted(plan.options.target) + "." + Quoted(row[0]) +
        " left by an earlier restore");
    if (!dryRun) {
      Exec(plan, *plan.sql, row[0],
           "DROP TABLE " + Quoted(plan.options.target) + "." + Quoted(row[0]));
    }
  }
}

}  // namespace restore
}  // namespace xbagent
