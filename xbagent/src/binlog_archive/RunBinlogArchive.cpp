// xbagent binlog-archive: the copy loop. mariadb-binlog copies the files
// raw; xbagent checks each file the server has closed and records it in the
// index, so a rerun knows where to resume.

#include <cerrno>
#include <csignal>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../verify/VerifyPhases.h"
#include "ArchivePhases.h"

namespace xbagent {

namespace {

constexpr double kOnceTimeout = 24 * 3600.0;

uint64_t NumberOf(const std::string& file) {
  std::string base;
  uint64_t number = 0;
  SplitLogName(file, &base, &number);
  return number;
}

// One archiver per directory: a lock held while the process runs.
int LockArchive(const std::string& dir) {
  if (::mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) {
    Fail("cannot create the archive directory " + dir + ": " + ErrnoText(errno));
  }
  if (!IsDirectory(dir)) Fail(dir + " is not a directory");
  const std::string path = JoinPath(dir, ".lock");
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) Fail("cannot open " + path + ": " + ErrnoText(errno));
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) Fail("another binlog-archive is running on " + dir);
  return fd;
}

// The first file of the server that the archive has not checked yet. A
// file between the archive's last checked file and the server's first is a
// gap: the server purged it before it was archived.
std::string StartFile(const ArchiveIndex& index, const std::vector<ServerLog>& logs) {
  const ArchivedFile* lastClosed = nullptr;
  for (const ArchivedFile& entry : index.files) {
    if (entry.closed) lastClosed = &entry;
  }
  for (const ServerLog& log : logs) {
    const ArchivedFile* entry = index.Find(log.file);
    if (entry != nullptr && entry->closed) continue;
    if (lastClosed != nullptr && NumberOf(log.file) > NumberOf(lastClosed->file) + 1) {
      Fail("the server no longer has the binary logs after " + lastClosed->file + " up to " +
           log.file + ": the archive would have a gap (start a new archive after a new backup)");
    }
    return log.file;
  }
  return logs.back().file;
}

// Records every file the server has closed whose copy is complete; when
// final, a closed file still short is a failure and the open file is scanned
// into the index too.
void RecordCopies(const ArchiveOptions& options, ArchiveIndex* index,
                  const std::vector<ServerLog>& logs, const std::string& serverLogDir, bool final) {
  for (size_t i = 0; i + 1 < logs.size(); ++i) {
    const ArchivedFile* known = index->Find(logs[i].file);
    if (known != nullptr && known->closed) continue;
    const std::string copy = JoinPath(options.dir, logs[i].file);
    if (!final && (!PathExists(copy) || FileSize(copy) < logs[i].size)) continue;
    ArchivedFile entry = CheckClosedCopy(options.dir, logs[i], serverLogDir);
    index->Put(entry);
    Log().Notice("xbagent: archived " + entry.file + " (" + HumanBytes(entry.size) + ", " +
                 entry.firstTime + " to " + entry.lastTime + ", checked " + entry.checked + ")");
  }
  const std::string open = JoinPath(options.dir, logs.back().file);
  if (!final || !PathExists(open)) return;
  ArchivedFile entry;
  entry.file = logs.back().file;
  entry.size = FileSize(open);
  ScanLogFile(open, &entry);
  index->Put(entry);
}

// covered_until: the time taken before asking the server for its last
// file's size, when the copy has reached that size.
void RecordCoverage(const ArchiveOptions& options, ArchiveIndex* index, const std::string& before,
                    const std::vector<ServerLog>& logs) {
  const std::string open = JoinPath(options.dir, logs.back().file);
  if (PathExists(open) && FileSize(open) >= logs.back().size) index->coveredUntil = before;
}

std::vector<std::string> CopyCommand(const ArchiveOptions& options, const std::string& start) {
  std::vector<std::string> argv = {BinlogProgram(), kCopierSettingsArgument,
                                   "--read-from-remote-server", "--raw",
                                   "--result-file=" + options.dir + "/"};
  argv.push_back(options.once ? "--to-last-log" : "--stop-never");
  argv.push_back(start);
  return argv;
}

void SleepSeconds(double seconds) {
  struct timespec pause = {static_cast<time_t>(seconds),
                           static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
  ::nanosleep(&pause, nullptr);
}

int ArchiveOnce(const ArchiveOptions& options, ArchiveIndex& index, const ClientSettings& client,
                const std::string& serverLogDir, const std::string& copyLog) {
  const std::string before = LocalTimestamp();
  std::vector<ServerLog> logs = ServerBinaryLogs(options.defaultsFile);
  const std::string start = StartFile(index, logs);
  Log().Detail(Verbosity::kVerbose, "xbagent: copying from " + start);
  int status = WaitChild(StartCopier(CopyCommand(options, start), copyLog, client.text()), kOnceTimeout);
  if (StopRequested()) Fail("interrupted; rerun to resume");
  if (status != 0) {
    Fail("mariadb-binlog failed (exit status " + std::to_string(status) + "): " +
         TailLines(copyLog, "", 3));
  }
  std::vector<ServerLog> after = ServerBinaryLogs(options.defaultsFile);
  RecordCopies(options, &index, after, serverLogDir, true);
  RecordCoverage(options, &index, before, logs);
  SaveArchiveIndex(options.dir, index);
  return kExitOk;
}

int ArchiveForever(const ArchiveOptions& options, ArchiveIndex& index, const ClientSettings& client,
                   const std::string& serverLogDir, const std::string& copyLog) {
  std::vector<ServerLog> logs = ServerBinaryLogs(options.defaultsFile);
  const std::string start = StartFile(index, logs);
  Log().Notice("xbagent: archiving binary logs from " + start + " into " + options.dir);
  pid_t copier = StartCopier(CopyCommand(options, start), copyLog, client.text());
  for (;;) {
    SleepSeconds(options.checkInterval);
    int status = 0;
    bool exited = ChildExited(copier, &status);
    if (StopRequested() && !exited) {
      ::kill(copier, SIGTERM);
      WaitChild(copier, 10);
    }
    const std::string before = LocalTimestamp();
    logs = ServerBinaryLogs(options.defaultsFile);
    bool last = StopRequested() || exited;
    RecordCopies(options, &index, logs, serverLogDir, false);
    if (last) RecordCopies(options, &index, {logs.back()}, serverLogDir, true);
    RecordCoverage(options, &index, before, logs);
    SaveArchiveIndex(options.dir, index);
    if (exited) {
      Fail("mariadb-binlog stopped (exit status " + std::to_string(status) + "): " +
           TailLines(copyLog, "", 3) + "; rerun to resume");
    }
    if (last) return kExitOk;
  }
}

}  // namespace

ArchiveIndex LoadArchiveIndex(const std::string& dir) {
  const std::string path = JoinPath(dir, kArchiveIndexFile);
  if (!PathExists(path)) return ArchiveIndex();
  return IndexFromJson(ParseJson(ReadSmallFile(path, 64 << 20), path));
}

void SaveArchiveIndex(const std::string& dir, const ArchiveIndex& index) {
  WriteFileAtomically(JoinPath(dir, kArchiveIndexFile), JsonText(IndexToJson(index)));
}

int RunBinlogArchive(const ArgList& argv) {
  ArchiveOptions options = ParseArchiveOptions(argv);
  int lock = LockArchive(options.dir);
  ClientSettings client(options.defaultsFile);
  ArchiveIndex index = LoadArchiveIndex(options.dir);
  const std::string serverLogDir = ServerLogDirectory(options.defaultsFile);
  if (serverLogDir.empty()) {
    Log().Notice("xbagent: the server's log directory is not readable here: closed files are "
                 "checked by size only");
  }
  const std::string copyLog = JoinPath(options.dir, ".mariadb-binlog.log");
  int status = options.once ? ArchiveOnce(options, index, client, serverLogDir, copyLog)
                            : ArchiveForever(options, index, client, serverLogDir, copyLog);
  ::close(lock);
  return status;
}

}  // namespace xbagent
