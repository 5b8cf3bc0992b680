#pragma once

// xbagent binlog-archive: copies the server's binary logs into a directory
// as they are written, and keeps an index of what the copy holds. The
// phases, one per file:
//
//   ArchiveOptions.cpp   the command line
//   EventText.cpp        pure logic: event headers of mariadb-binlog's output,
//                        file names, GTIDs, the index document
//   ClientSettings.cpp   only the connection settings mariadb-binlog
//                        understands, handed to it through a pipe
//   BinlogProcess.cpp    running mariadb-binlog (and a client) without a shell
//   ServerLogs.cpp       what the server has: SHOW BINARY LOGS, its log directory
//   CheckCopies.cpp      a closed file's copy against the server's; its index entry
//   RunBinlogArchive.cpp the copy loop, resuming where the index left off
//
// Restores read the same index (BinlogArchive.h) to replay the copies.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "../Commands.h"
#include "../JsonDoc.h"

namespace xbagent {

constexpr const char* kArchiveIndexFile = "index.json";
constexpr const char* kArchiveFormat = "xbagent-binlog-archive";

struct ArchiveOptions {
  std::string defaultsFile;
  std::string dir;
  bool once = false;
  double checkInterval = 2.0;
};

ArchiveOptions ParseArchiveOptions(const ArgList& argv);

// ---- pure logic (EventText.cpp) ----

// One event header line of mariadb-binlog's text output:
// "#261208  5:34:55 server id 1  end_log_pos 384 CRC32 0x8756d1b7 \tGTID 0-1-4 trans".
struct EventHeader {
  std::string time;  // "2026-12-08 05:34:55" (the server's local time)
  std::string gtid;  // "0-1-4" for a GTID event, else ""
};
bool ParseEventHeader(const std::string& line, EventHeader* header);

// A GTID "domain-server-seq".
struct Gtid {
  uint64_t domain = 0;
  uint64_t server = 0;
  uint64_t seq = 0;
};
bool ParseGtid(const std::string& text, Gtid* gtid);

// Clears LOG_EVENT_BINLOG_IN_USE_F in the start of a binary log (at least
// its first 22 bytes) whose first event is a format description: the server
// sends a closed file that way, whatever its own copy on disk says.
void ClearInUseFlag(std::string* head);

// "mysql-bin.000012" -> base "mysql-bin", number 12; false for other names.
bool SplitLogName(const std::string& name, std::string* base, uint64_t* number);

// One archived file as index.json records it.
struct ArchivedFile {
  std::string file;
  uint64_t size = 0;
  std::string sha256;
  std::string firstTime;
  std::string lastTime;
  std::string firstGtid;
  std::string lastGtid;
  bool closed = false;  // the server closed it and the copy was checked
  std::string checked;  // "size", "size+sha256"
};

struct ArchiveIndex {
  std::vector<ArchivedFile> files;  // in log order
  // Local time up to which the archive holds every event ("" = unknown).
  std::string coveredUntil;
  const ArchivedFile* Find(const std::string& file) const;
  ArchivedFile* Find(const std::string& file);
  void Put(const ArchivedFile& entry);  // adds or replaces, keeps log order
};

Json IndexToJson(const ArchiveIndex& index);
ArchiveIndex IndexFromJson(const Json& document);

// The current local time as "YYYY-MM-DD HH:MM:SS".
std::string LocalTimestamp();

// ---- the archive directory ----

ArchiveIndex LoadArchiveIndex(const std::string& dir);  // empty when none yet
void SaveArchiveIndex(const std::string& dir, const ArchiveIndex& index);

// ---- settings and processes ----

// The connection settings of defaultsFile's client groups that
// mariadb-binlog accepts, as the text of a defaults file. The copier reads
// them from a pipe (--defaults-file=/dev/fd/3): no copy of the password is
// ever written to disk, so none is left behind by a SIGKILL.
class ClientSettings {
 public:
  explicit ClientSettings(const std::string& defaultsFile);
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// The lines of a defaults file's client groups that a client program of the
// server accepts for a connection (pure; ClientSettings writes them).
std::string ConnectionSettings(const std::string& defaultsText);

// mariadb-binlog's path, or a Failure.
std::string BinlogProgram();
// mariadb's path, or a Failure.
std::string ClientProgram();

// Runs from (argument vector, no shell) with its standard output read by
// xbagent: every line goes to onLine, and the bytes on to the standard input
// of to when to is not empty. Both programs' standard error is appended to
// errorFile. A stop request ends them when stoppable. Returns false when
// either failed; *why then says how.
bool RunThrough(const std::vector<std::string>& from, const std::vector<std::string>& to,
                const std::string& errorFile, const std::function<void(const std::string&)>& onLine,
                std::string* why, bool stoppable = true);

// The argument naming the settings StartCopier hands over.
constexpr const char* kCopierSettingsArgument = "--defaults-file=/dev/fd/3";
// Starts the copier (no shell) with its output appended to outputFile and
// settings readable on descriptor 3; it ends when xbagent ends, even by
// SIGKILL.
pid_t StartCopier(const std::vector<std::string>& argv, const std::string& outputFile,
                  const std::string& settings);

// First and last event time and GTID of a local binary-log file.
void ScanLogFile(const std::string& path, ArchivedFile* entry);

// ---- the server ----

struct ServerLog {
  std::string file;
  uint64_t size = 0;
};
std::vector<ServerLog> ServerBinaryLogs(const std::string& defaultsFile);
// The directory of the server's binary logs when this host can read it, else "".
std::string ServerLogDirectory(const std::string& defaultsFile);

// Checks the copy of a closed file against the server's size (and content,
// when dir of the server's logs is readable); returns its index entry.
ArchivedFile CheckClosedCopy(const std::string& archiveDir, const ServerLog& server,
                             const std::string& serverLogDir);

}  // namespace xbagent
