#pragma once

// Hurrying an InnoDB checkpoint: for a moment the live server flushes its
// dirty pages at once (innodb_max_dirty_pages_pct = 0, innodb_io_capacity =
// innodb_io_capacity_max). Before it changes them, the old and the new
// values are recorded on the server itself, as the comment of a database
// named xbagent#settings#<run identity>: whichever run comes next against
// that server finds it, wherever it runs from, and puts the old values back
// if this run was killed before it could. (A server restart forgets both
// the settings and nothing else: the record then finds the old values.)

#include <string>

#include "Sql.h"

namespace xbagent {

// The settings, in the order they are set. The server lowers
// innodb_max_dirty_pages_pct_lwm itself when innodb_max_dirty_pages_pct goes
// below it, so that one is put back too.
constexpr int kFlushSettings = 3;
extern const char* const kFlushSettingNames[kFlushSettings];
struct FlushSettings {
  std::string values[kFlushSettings];  // numbers, as the server prints them
};

// "innodb_max_dirty_pages_pct=90.000000 innodb_max_dirty_pages_pct_lwm=0
// innodb_io_capacity=200 > innodb_max_dirty_pages_pct=0 ...": the values
// before, then the values the run sets.
std::string FormatFlushRecord(const FlushSettings& before, const FlushSettings& hurried);
// False for any other text: a value that is not a plain non-negative number
// never reaches a SET statement.
bool ParseFlushRecord(const std::string& text, FlushSettings* before, FlushSettings* hurried);
// The same values, read as numbers ("0" and "0.000000" agree).
bool SameFlushSettings(const FlushSettings& a, const FlushSettings& b);

// Records the settings, then hurries flushing; true when it did, with the
// old values in *before. Does not when another run hurries it already, or
// when the record cannot be made (says why in a warning): then the wait is
// only slower.
bool HurryFlushing(SqlConnection& sql, FlushSettings* before);
// Puts the old values back, then removes the record. Throws on failure
// (the record stays for the next run).
void EndHurriedFlushing(SqlConnection& sql, const FlushSettings& before);

// Records of runs that no longer run: where the server still has exactly
// the values such a run set, the old ones go back; otherwise they are left
// and a notice says so. The records are removed. With dryRun, says what it
// would do. A failure is a warning, never the end of the run.
void PutBackAbandonedFlushing(SqlConnection& sql, bool dryRun);

}  // namespace xbagent
