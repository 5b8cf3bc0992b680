// Hurried InnoDB flushing, and its record on the server that lets the next
// run put the settings back after this one was killed.

#include "HurriedFlushing.h"

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <vector>

#include "Common.h"
#include "Log.h"

namespace xbagent {

const char* const kFlushSettingNames[kFlushSettings] = {
    "innodb_max_dirty_pages_pct", "innodb_max_dirty_pages_pct_lwm", "innodb_io_capacity"};

namespace {

constexpr const char* kRecordPrefix = "xbagent#settings#";

bool IsNumber(const std::string& text) {
  if (text.empty() || text.size() > 30 || text[0] == '.' || text.back() == '.') return false;
  size_t dots = 0;
  for (char c : text) {
    if (c == '.') {
      ++dots;
    } else if (c < '0' || c > '9') {
      return false;
    }
  }
  return dots <= 1;
}

// "name=value, name=value, name=value" (separator ", ") or with spaces.
std::string Describe(const FlushSettings& settings, const char* separator = ", ") {
  std::string text;
  for (int i = 0; i < kFlushSettings; ++i) {
    if (i > 0) text += separator;
    text += std::string(kFlushSettingNames[i]) + "=" + settings.values[i];
  }
  return text;
}

bool ParseSettings(std::istringstream& in, FlushSettings* settings) {
  for (int i = 0; i < kFlushSettings; ++i) {
    std::string word;
    const std::string key = std::string(kFlushSettingNames[i]) + "=";
    if (!(in >> word) || word.compare(0, key.size(), key) != 0) return false;
    settings->values[i] = word.substr(key.size());
    if (!IsNumber(settings->values[i])) return false;
  }
  return true;
}

FlushSettings Current(SqlConnection& sql) {
  std::string select;
  for (const char* name : kFlushSettingNames) {
    select += std::string(select.empty() ? "SELECT " : ", ") + "@@GLOBAL." + name;
  }
  std::vector<SqlRow> rows = sql.Query(select);
  FlushSettings settings;
  for (int i = 0; i < kFlushSettings; ++i) {
    if (rows.empty() || rows[0].size() != kFlushSettings || !IsNumber(rows[0][i])) {
      Fail("the server gave unexpected InnoDB flushing settings");
    }
    settings.values[i] = rows[0][i];
  }
  return settings;
}

void Set(SqlConnection& sql, const FlushSettings& settings) {
  std::string statement;
  for (int i = 0; i < kFlushSettings; ++i) {
    statement += std::string(i == 0 ? "SET GLOBAL " : ", ") + kFlushSettingNames[i] + " = " +
                 settings.values[i];
  }
  sql.Query(statement);
}

std::string RecordName() { return kRecordPrefix + RunIdentity(); }

// The record stays on this server: a replica has its own settings.
void WriteRecord(SqlConnection& sql, const std::string& statement) {
  sql.Query("SET SESSION sql_log_bin = 0");
  sql.Query(statement);
}

void DropRecord(SqlConnection& sql, const std::string& record) {
  WriteRecord(sql, "DROP DATABASE IF EXISTS " + SqlIdentifier(record));
}

std::vector<SqlRow> Records(SqlConnection& sql) {
  return sql.Query("SELECT SCHEMA_NAME, SCHEMA_COMMENT FROM information_schema.SCHEMATA "
                   "WHERE SCHEMA_NAME LIKE 'xbagent#settings#%'");
}

bool OtherRunHurries(SqlConnection& sql, const std::string& own) {
  for (const SqlRow& row : Records(sql)) {
    if (row[0] != own && IsRunAlive(row[0].substr(std::strlen(kRecordPrefix)))) return true;
  }
  return false;
}

void Say(const std::string& text) { Log().Notice("xbagent: " + text); }

// One record of a run that no longer runs.
void PutBack(SqlConnection& sql, const std::string& record, const std::string& text,
             bool dryRun) {
  FlushSettings before;
  FlushSettings hurried;
  const FlushSettings now = Current(sql);
  if (!ParseFlushRecord(text, &before, &hurried)) {
    Say(std::string(dryRun ? "would remove" : "removing") + " database '" + record +
        "': an unreadable record of InnoDB flushing settings ('" + text +
        "'); the settings are left as they are");
  } else if (SameFlushSettings(now, hurried)) {
    Say(std::string(dryRun ? "would set" : "setting") + " InnoDB flushing back to " +
        Describe(before) + ": an earlier run that no longer runs hurried it and died before "
        "setting it back (database '" + record + "')");
    if (!dryRun) Set(sql, before);
  } else if (!SameFlushSettings(now, before)) {
    Say("note: an earlier run that no longer runs set " + Describe(hurried) + " (they were " +
        Describe(before) + "); the server now has " + Describe(now) +
        ", changed since, so they are left as they are");
  }
  if (!dryRun) DropRecord(sql, record);
}

}  // namespace

std::string FormatFlushRecord(const FlushSettings& before, const FlushSettings& hurried) {
  return Describe(before, " ") + " > " + Describe(hurried, " ");
}

bool ParseFlushRecord(const std::string& text, FlushSettings* before, FlushSettings* hurried) {
  std::istringstream in(text);
  std::string arrow;
  std::string rest;
  return ParseSettings(in, before) && in >> arrow && arrow == ">" &&
         ParseSettings(in, hurried) && !(in >> rest);
}

bool SameFlushSettings(const FlushSettings& a, const FlushSettings& b) {
  for (int i = 0; i < kFlushSettings; ++i) {
    if (std::strtod(a.values[i].c_str(), nullptr) != std::strtod(b.values[i].c_str(), nullptr)) {
      return false;
    }
  }
  return true;
}

bool HurryFlushing(SqlConnection& sql, FlushSettings* before) {
  PutBackAbandonedFlushing(sql, false);
  const std::string record = RecordName();
  bool recorded = false;
  try {
    *before = Current(sql);
    FlushSettings hurried;
    hurried.values[0] = "0";
    hurried.values[1] = "0";
    hurried.values[2] = sql.Scalar("SELECT @@GLOBAL.innodb_io_capacity_max");
    if (!IsNumber(hurried.values[2])) Fail("unexpected innodb_io_capacity_max");
    WriteRecord(sql, "CREATE DATABASE " + SqlIdentifier(record) + " COMMENT '" +
                         FormatFlushRecord(*before, hurried) + "'");
    recorded = true;
    // Its old values would be this run's "before": leave the settings to it.
    if (OtherRunHurries(sql, record)) {
      DropRecord(sql, record);
      return false;
    }
    Set(sql, hurried);
    return true;
  } catch (const Failure& failure) {
    Log().Notice(std::string("xbagent: warning: cannot hurry the InnoDB checkpoint (") +
                 failure.what() + "); waiting for it at the server's own pace");
    if (recorded) {
      try {
        Set(sql, *before);
        DropRecord(sql, record);
      } catch (const Failure&) {
      }
    }
    return false;
  }
}

void EndHurriedFlushing(SqlConnection& sql, const FlushSettings& before) {
  Set(sql, before);
  DropRecord(sql, RecordName());
}

void PutBackAbandonedFlushing(SqlConnection& sql, bool dryRun) {
  try {
    for (const SqlRow& row : Records(sql)) {
      if (row.size() < 2 || IsRunAlive(row[0].substr(std::strlen(kRecordPrefix)))) continue;
      PutBack(sql, row[0], row[1], dryRun);
    }
  } catch (const Failure& failure) {
    Log().Notice(std::string("xbagent: warning: cannot put back InnoDB flushing settings an "
                             "earlier run left changed (") + failure.what() + ")");
  }
}

}  // namespace xbagent
