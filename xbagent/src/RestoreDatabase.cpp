// xbagent restore --database NAME: restores one database of a one-database
// backup into a running server with transportable tablespaces.
//
// Nothing on the server is touched until the backup has been checked,
// extracted and prepared (--export) in a private staging directory and every
// file the restore needs has been found there. Then the database is created
// from the backup's schema (after dropping it, only with --replace) and the
// tables get their data one at a time:
//
//   InnoDB             DISCARD TABLESPACE, copy .ibd/.cfg in (applyBack),
//                      IMPORT TABLESPACE
//   InnoDB, FULLTEXT   the same with the index in place, then DROP INDEX,
//                      ALTER TABLE FORCE, ADD FULLTEXT INDEX (rebuilt index)
//   partitioned        per partition (or sub-partition): a work table
//                      CREATE ... LIKE, REMOVE PARTITIONING, DISCARD, copy the
//                      partition's files in under the work table's name,
//                      IMPORT, EXCHANGE PARTITION, DROP the work table
//   MyISAM, Aria       FLUSH TABLES t FOR EXPORT, copy the data and index
//                      files over the empty table (new file, then rename),
//                      UNLOCK TABLES, FLUSH TABLES t
//
// followed by ANALYZE TABLE. Files are only ever copied into place of a
// tablespace that was discarded just before (the copy refuses to replace an
// existing InnoDB file) or, for MyISAM and Aria, renamed over the files of
// the empty table while it is locked for export.

#include <cerrno>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <XtraBackup/XtraBackupUtil.h>

#include "Args.h"
#include "Commands.h"
#include "Common.h"
#include "Extract.h"
#include "Fs.h"
#include "Log.h"
#include "Manifest.h"
#include "Sha256.h"
#include "Sql.h"
#include "ToolOutput.h"
#include "Tools.h"

namespace xbagent {

namespace {

const char kUsage[] =
    "usage: xbagent restore --database NAME --from DIR --defaults-file CNF [--replace]\n"
    "                       [--tool-dir DIR] [--datadir DIR] [--socket PATH] [--user USER]\n"
    "                       [--staging-dir DIR] [-v | -q] [--log FILE]\n"
    "\n"
    "Restores one database from a one-database backup (made by 'xbagent backup\n"
    "--database NAME --output-dir DIR') into the RUNNING server, table by table\n"
    "(transportable tablespaces). Runs on the server's host, as root or as the\n"
    "owner of the data directory.\n"
    "\n"
    "  --database NAME      the database, as written in SQL (must be the backup's)\n"
    "  --from DIR           the backup directory\n"
    "  --defaults-file CNF  client settings (socket, user, password in [client])\n"
    "  --replace            drop and replace the database when it exists; without it an\n"
    "                       existing database is never changed and the restore stops\n"
    "  --tool-dir DIR       directory with xtrabackup and xbstream (default: PATH)\n"
    "  --datadir DIR        the server's data directory (default: asked from the server)\n"
    "  --socket PATH        the server's socket (default: the defaults file's)\n"
    "  --user USER          database user (default: the defaults file's)\n"
    "  --staging-dir DIR    where to extract and prepare (must not exist, or be empty;\n"
    "                       removed afterwards); default: a directory under $TMPDIR\n"
    "\n"
    "Steps: check the stream's SHA-256 and the schema against the manifest, extract and\n"
    "prepare (--export) the backup, create the database from schema.sql, then per table\n"
    "DISCARD TABLESPACE / copy / IMPORT TABLESPACE (InnoDB; partitions through a work\n"
    "table and EXCHANGE PARTITION; FULLTEXT indexes rebuilt) or copy the files of\n"
    "MyISAM and Aria tables, and ANALYZE TABLE. Prints the binary-log coordinates of the\n"
    "backup (file_number=, position=) on standard output.\n"
    "Exit status: 0 restored, 1 failure (nothing changed, or the tables named), 2 bad usage.\n";

constexpr mode_t kFileMode = 0660;

enum class Kind { kInnoDb, kFulltext, kPartitioned, kMyIsam, kAria, kSchemaOnly };

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::kInnoDb: return "InnoDB";
    case Kind::kFulltext: return "InnoDB FULLTEXT";
    case Kind::kPartitioned: return "partitioned";
    case Kind::kMyIsam: return "MyISAM";
    case Kind::kAria: return "Aria";
    case Kind::kSchemaOnly: return "schema only";
  }
  return "?";
}

struct Table {
  std::string name;     // as in SQL
  std::string stem;     // on-disk file name stem
  std::string engine;
  bool partitioned = false;
  bool fulltext = false;
  Kind kind = Kind::kInnoDb;
  std::vector<std::string> leafFiles;  // partitioned: staging stems "t#P#p0[#SP#..]"
};

struct Options {
  std::string database;
  std::string backupDir;
  std::string defaultsFile;
  bool replace = false;
  std::string toolDir;
  std::string datadir;
  std::string socket;
  std::string user;
  std::string stagingDir;
};

// What happened to the tables, for the summary or the failure report.
struct Outcome {
  std::vector<std::string> restored;
  std::map<Kind, int> byKind;
  int partitions = 0;
  uint64_t bytes = 0;
  std::string current;                     // the table being restored
  std::vector<std::string> leftDiscarded;  // tables (or work tables) left without a tablespace
  std::vector<std::string> leftWorkTables;
};

std::string Quoted(const std::string& name) { return SqlIdentifier(name); }

Options ParseOptions(const ArgList& argv) {
  Args args(kUsage,
            {{"--database", true}, {"--from", true}, {"--replace", false},
             {"--defaults-file", true}, {"--tool-dir", true}, {"--datadir", true},
             {"--socket", true}, {"--user", true}, {"--staging-dir", true}},
            argv);
  if (!args.Positional().empty()) UsageFail("unexpected argument '" + args.Positional()[0] + "'");
  Options options;
  options.database = args.Value("--database");
  if (options.database.empty()) UsageFail("--database needs a name");
  if (args.Value("--from").empty()) UsageFail("--from DIR is required");
  options.backupDir = AbsolutePath(args.Value("--from"));
  options.defaultsFile = args.Value("--defaults-file");
  if (options.defaultsFile.empty()) UsageFail("--defaults-file CNF is required");
  options.replace = args.Has("--replace");
  options.toolDir = args.Value("--tool-dir");
  options.datadir = args.Value("--datadir");
  options.socket = args.Value("--socket");
  options.user = args.Value("--user");
  if (args.Has("--staging-dir")) {
    if (args.Value("--staging-dir").empty()) UsageFail("--staging-dir needs a directory");
    options.stagingDir = AbsolutePath(args.Value("--staging-dir"));
  }
  return options;
}

bool IsRegularFile(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

std::vector<std::string> ListDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) Fail("cannot read directory " + path + ": " + ErrnoText(errno));
  while (struct dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  return names;
}

// The owner the server gives its files: that of DATADIR/mysql.
struct Owner {
  uid_t uid = 0;
  gid_t gid = 0;
};

Owner ServerFileOwner(const std::string& datadir) {
  struct stat info;
  std::string reference = JoinPath(datadir, "mysql");
  int rc = ::stat(reference.c_str(), &info);
  if (rc != 0 || !S_ISDIR(info.st_mode)) {
    Fail("the server's data directory " + datadir + " has no mysql directory (" +
         (rc != 0 ? ErrnoText(errno) : std::string("not a directory")) +
         "); run on the server's host, or give --datadir as seen from here");
  }
  Owner owner;
  owner.uid = info.st_uid;
  owner.gid = info.st_gid;
  return owner;
}

// Copies source to target, which must not exist (O_EXCL: never over a live
// file), with the server's owner and kFileMode; synced. Returns the bytes.
// On failure the partial target is removed.
uint64_t CopyNewFile(const std::string& source, const std::string& target, const Owner& owner) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) Fail("cannot open " + source + ": " + ErrnoText(errno));
  struct stat info;
  if (::fstat(in, &info) != 0) {
    int err = errno;
    ::close(in);
    Fail("cannot read " + source + ": " + ErrnoText(err));
  }
  int out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kFileMode);
  if (out < 0) {
    int err = errno;
    ::close(in);
    Fail("cannot create " + target + ": " + ErrnoText(err) +
         (err == EEXIST ? " (refusing to write over an existing file)" : ""));
  }
  uint64_t left = static_cast<uint64_t>(info.st_size);
  int err = 0;
  while (left > 0 && err == 0) {
    size_t chunk = left > (1u << 30) ? (1u << 30) : static_cast<size_t>(left);
    ssize_t sent = ::sendfile(out, in, nullptr, chunk);
    if (sent < 0) {
      if (errno == EINTR) continue;
      err = errno;
    } else if (sent == 0) {
      err = EIO;  // the source shrank
    } else {
      left -= static_cast<uint64_t>(sent);
    }
  }
  if (err == 0 && ::fchown(out, owner.uid, owner.gid) != 0) err = errno;
  if (err == 0 && ::fchmod(out, kFileMode) != 0) err = errno;
  if (err == 0 && ::fsync(out) != 0) err = errno;
  if (::close(out) != 0 && err == 0) err = errno;
  ::close(in);
  if (err != 0) {
    ::unlink(target.c_str());
    Fail("cannot copy " + source + " to " + target + ": " + ErrnoText(err));
  }
  return static_cast<uint64_t>(info.st_size);
}

// Replaces target by a copy of source: written under a temporary name in the
// same directory, then renamed over it (an open handle of the server keeps
// the old file; nothing is written into it).
uint64_t CopyReplacingFile(const std::string& source, const std::string& target,
                           const Owner& owner) {
  std::string temp = JoinPath(DirName(target), ".xbagent-" + std::to_string(::getpid()) + "-" +
                                                   BaseName(target));
  ::unlink(temp.c_str());
  uint64_t bytes = CopyNewFile(source, temp, owner);
  if (::rename(temp.c_str(), target.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    Fail("cannot move " + temp + " to " + target + ": " + ErrnoText(err));
  }
  return bytes;
}

// Applies schema.sql with the mariadb client (it understands the DELIMITER
// blocks of routines and triggers); the file goes to its standard input.
void ApplySchema(const Options& options, const std::string& schema) {
  std::string client = FindProgram({"mariadb", "mysql"});
  if (client.empty()) Fail("the mariadb client is not on PATH (install mariadb-client)");
  std::string command = ShellQuote(client) + " --defaults-file=" + ShellQuote(options.defaultsFile);
  if (!options.socket.empty()) command += " --socket=" + ShellQuote(options.socket);
  if (!options.user.empty()) command += " --user=" + ShellQuote(options.user);
  command += " --batch --skip-column-names";
  Log().Detail(Verbosity::kVerbose, "schema: " + command + " < " + kSchemaFile);
  LibMySqlProcess::MySqlChildProcess child;
  if (child.Initialize(command, "", "") != 0 || child.ZU_CreateProcess(true, false, false, false) != 0) {
    Fail("cannot start the mariadb client: " + ErrnoText(child.GetLastErrNo()));
  }
  bool writeFailed = child.WriteBuf(schema.data(), static_cast<long>(schema.size())) != 0;
  child.CloseInput();
  int status = child.Wait(0);
  if (status != 0 || writeFailed) {
    std::string reason = ToolReason(child, "mariadb");
    Fail("creating the database from " + std::string(kSchemaFile) + " failed (mariadb exit status " +
         std::to_string(status) + ")" + (reason.empty() ? std::string() : ": " + reason));
  }
}

// Runs one statement of a table's restore; the server's own error text goes
// into the failure with the table's name.
void Exec(SqlConnection& sql, const std::string& table, const std::string& statement) {
  Log().Detail(Verbosity::kDebug, "sql: " + statement);
  try {
    sql.Query(statement);
  } catch (const Failure& failure) {
    std::string text = failure.what();
    const std::string prefix = "query failed: ";
    if (text.compare(0, prefix.size(), prefix) == 0) text = text.substr(prefix.size());
    Fail("table " + Quoted(table) + ": " + statement + ": " + text);
  }
}

class Restorer {
 public:
  Restorer(const Options& options, SqlConnection& sql, XtraBackup::XtraBackupUtil& util,
           const std::string& staging, const std::string& datadir, Outcome& outcome)
      : options_(options), sql_(sql), util_(util), staging_(staging), datadir_(datadir),
        outcome_(outcome) {
    util_.convertSpecialCharsToHexChars(options.database, dbOnDisk_);
    sourceDir_ = JoinPath(staging_, dbOnDisk_);
    targetDir_ = JoinPath(datadir_, dbOnDisk_);
    owner_ = ServerFileOwner(datadir_);
    quotedDb_ = Quoted(options.database);
  }

  const std::string& sourceDir() const { return sourceDir_; }
  const std::string& targetDir() const { return targetDir_; }

  void Restore(const Table& table) {
    outcome_.current = table.name;
    switch (table.kind) {
      case Kind::kInnoDb:
      case Kind::kFulltext:
        RestoreInnoDb(table);
        break;
      case Kind::kPartitioned:
        RestorePartitioned(table);
        break;
      case Kind::kMyIsam:
      case Kind::kAria:
        if (table.partitioned) {
          RestorePartitioned(table);
        } else {
          RestoreFlatFiles(table, table.name, table.stem);
        }
        break;
      case Kind::kSchemaOnly:
        break;
    }
    if (table.kind != Kind::kSchemaOnly) {
      Exec(sql_, table.name, "ANALYZE TABLE " + Name(table.name));
    }
    outcome_.current.clear();
  }

 private:
  std::string Name(const std::string& table) const { return quotedDb_ + "." + Quoted(table); }

  // InnoDB, not partitioned: DISCARD, applyBack, IMPORT (+ FULLTEXT rebuild).
  void RestoreInnoDb(const Table& table) {
    std::vector<std::pair<std::string, std::string>> fulltext;  // name, columns
    if (table.kind == Kind::kFulltext) fulltext = FulltextIndexes(table.name);
    Exec(sql_, table.name, "ALTER TABLE " + Name(table.name) + " DISCARD TABLESPACE");
    outcome_.leftDiscarded.push_back(table.name);
    std::string ibd = JoinPath(targetDir_, table.stem + ".ibd");
    std::string cfg = JoinPath(targetDir_, table.stem + ".cfg");
    if (PathExists(ibd)) {
      Fail("table " + Quoted(table.name) + ": " + ibd +
           " still exists after DISCARD TABLESPACE; not copying over it");
    }
    if (PathExists(cfg) && ::unlink(cfg.c_str()) != 0) {
      Fail("table " + Quoted(table.name) + ": cannot remove the stale " + cfg + ": " +
           ErrnoText(errno));
    }
    XtraBackup::XtraMetaData meta;
    XtraBackup::MySQLMetaData entry;
    entry.sTableName = table.name;
    entry.sEngine = "InnoDB";
    entry.bPartitioned = false;
    meta.tableList.push_back(entry);
    CKaError status = util_.applyBack(options_.database, staging_, datadir_, meta);
    if (status.IsError()) {
      Fail("table " + Quoted(table.name) + ": copying its files into " + targetDir_ +
           " failed: " + status.AsString());
    }
    uint64_t size = FileSize(JoinPath(sourceDir_, table.stem + ".ibd"));
    if (!IsRegularFile(ibd) || FileSize(ibd) != size) {
      Fail("table " + Quoted(table.name) + ": " + ibd + " was not copied completely");
    }
    if (!IsRegularFile(cfg)) {
      Fail("table " + Quoted(table.name) + ": " + cfg + " was not copied");
    }
    outcome_.bytes += size + FileSize(cfg);
    Import(table.name, table.name, ibd, cfg);
    outcome_.leftDiscarded.pop_back();
    ::unlink(cfg.c_str());  // the server has read it; the backup keeps its own
    if (!fulltext.empty()) {
      // The imported FULLTEXT index is unusable: drop it, rebuild the table
      // without it, add it again.
      for (const auto& index : fulltext) {
        Exec(sql_, table.name,
             "ALTER TABLE " + Name(table.name) + " DROP INDEX " + Quoted(index.first));
      }
      Exec(sql_, table.name, "ALTER TABLE " + Name(table.name) + " FORCE");
      for (const auto& index : fulltext) {
        Exec(sql_, table.name, "ALTER TABLE " + Name(table.name) + " ADD FULLTEXT INDEX " +
                                   Quoted(index.first) + " (" + index.second + ")");
      }
    }
  }

  // IMPORT TABLESPACE of sqlName; when the server refuses, the copied files
  // are removed again so the table is left plainly discarded.
  void Import(const std::string& table, const std::string& sqlName, const std::string& ibd,
              const std::string& cfg) {
    try {
      Exec(sql_, table, "ALTER TABLE " + Name(sqlName) + " IMPORT TABLESPACE");
    } catch (const Failure&) {
      ::unlink(cfg.c_str());
      ::unlink(ibd.c_str());
      throw;
    }
  }

  // FULLTEXT indexes of the recreated table: name and quoted column list.
  std::vector<std::pair<std::string, std::string>> FulltextIndexes(const std::string& table) {
    std::vector<std::pair<std::string, std::string>> indexes;
    for (const SqlRow& row : sql_.Query(
             "SELECT INDEX_NAME, COLUMN_NAME FROM information_schema.STATISTICS "
             "WHERE CAST(TABLE_SCHEMA AS BINARY) = " + SqlBytes(options_.database) +
             " AND CAST(TABLE_NAME AS BINARY) = " + SqlBytes(table) +
             " AND INDEX_TYPE = 'FULLTEXT' ORDER BY INDEX_NAME, SEQ_IN_INDEX")) {
      if (indexes.empty() || indexes.back().first != row[0]) {
        indexes.emplace_back(row[0], Quoted(row[1]));
      } else {
        indexes.back().second += ", " + Quoted(row[1]);
      }
    }
    return indexes;
  }

  // Partition leaves of the recreated table: the name EXCHANGE PARTITION
  // takes and the on-disk stem of its files.
  std::vector<std::pair<std::string, std::string>> Leaves(const Table& table) {
    std::vector<std::pair<std::string, std::string>> leaves;
    for (const SqlRow& row : sql_.Query(
             "SELECT PARTITION_NAME, IFNULL(SUBPARTITION_NAME, '') FROM "
             "information_schema.PARTITIONS WHERE CAST(TABLE_SCHEMA AS BINARY) = " +
             SqlBytes(options_.database) + " AND CAST(TABLE_NAME AS BINARY) = " +
             SqlBytes(table.name) +
             " ORDER BY PARTITION_ORDINAL_POSITION, SUBPARTITION_ORDINAL_POSITION")) {
      std::string partition;
      util_.convertSpecialCharsToHexChars(row[0], partition);
      std::string stem = table.stem + "#P#" + partition;
      std::string leaf = row[0];
      if (!row[1].empty()) {
        std::string sub;
        util_.convertSpecialCharsToHexChars(row[1], sub);
        stem += "#SP#" + sub;
        leaf = row[1];
      }
      leaves.emplace_back(leaf, stem);
    }
    return leaves;
  }

  std::string WorkTableName() {
    return "xbagent_restore_" + std::to_string(::getpid()) + "_" + std::to_string(++workCount_);
  }

  // Per partition: a work table gets the partition's data and is exchanged in.
  void RestorePartitioned(const Table& table) {
    std::vector<std::pair<std::string, std::string>> leaves = Leaves(table);
    if (leaves.empty()) Fail("table " + Quoted(table.name) + ": the server lists no partitions");
    const bool innodb = table.kind == Kind::kPartitioned;
    // Every partition's files must be there before the table is touched.
    for (const auto& leaf : leaves) {
      for (const char* ext : innodb ? std::vector<const char*>{".ibd", ".cfg"} : FlatExtensions(table)) {
        std::string source = JoinPath(sourceDir_, leaf.second + ext);
        if (!IsRegularFile(source)) {
          Fail("table " + Quoted(table.name) + ": the backup has no " + source);
        }
      }
    }
    for (const auto& leaf : leaves) {
      std::string work = WorkTableName();
      std::string workStem;
      util_.convertSpecialCharsToHexChars(work, workStem);
      Exec(sql_, table.name, "CREATE TABLE " + Name(work) + " LIKE " + Name(table.name));
      outcome_.leftWorkTables.push_back(work);
      Exec(sql_, table.name, "ALTER TABLE " + Name(work) + " REMOVE PARTITIONING");
      if (innodb) {
        Exec(sql_, table.name, "ALTER TABLE " + Name(work) + " DISCARD TABLESPACE");
        std::string ibd = JoinPath(targetDir_, workStem + ".ibd");
        std::string cfg = JoinPath(targetDir_, workStem + ".cfg");
        ::unlink(cfg.c_str());
        outcome_.bytes += CopyNewFile(JoinPath(sourceDir_, leaf.second + ".ibd"), ibd, owner_);
        outcome_.bytes += CopyNewFile(JoinPath(sourceDir_, leaf.second + ".cfg"), cfg, owner_);
        Import(table.name, work, ibd, cfg);
        ::unlink(cfg.c_str());
      } else {
        CopyFlatFiles(table, work, leaf.second, workStem);
      }
      Exec(sql_, table.name, "ALTER TABLE " + Name(table.name) + " EXCHANGE PARTITION " +
                                 Quoted(leaf.first) + " WITH TABLE " + Name(work));
      Exec(sql_, table.name, "DROP TABLE " + Name(work));
      outcome_.leftWorkTables.pop_back();
      ++outcome_.partitions;
      Log().Detail(Verbosity::kVerbose, "  partition " + leaf.first + " of " + Quoted(table.name) +
                                            " restored");
    }
  }

  static std::vector<const char*> FlatExtensions(const Table& table) {
    if (table.kind == Kind::kAria) return {".MAD", ".MAI"};
    return {".MYD", ".MYI"};
  }

  void RestoreFlatFiles(const Table& table, const std::string& sqlName, const std::string& stem) {
    CopyFlatFiles(table, sqlName, stem, stem);
  }

  // MyISAM/Aria: with the empty table locked for export, its data and index
  // files are replaced by the backup's; then the server reopens it.
  void CopyFlatFiles(const Table& table, const std::string& sqlName, const std::string& sourceStem,
                     const std::string& targetStem) {
    Exec(sql_, table.name, "FLUSH TABLES " + Name(sqlName) + " FOR EXPORT");
    try {
      for (const char* ext : FlatExtensions(table)) {
        std::string target = JoinPath(targetDir_, targetStem + ext);
        if (!IsRegularFile(target)) Fail("table " + Quoted(table.name) + ": no " + target);
        outcome_.bytes +=
            CopyReplacingFile(JoinPath(sourceDir_, sourceStem + ext), target, owner_);
      }
    } catch (const Failure&) {
      try {
        sql_.Query("UNLOCK TABLES");
      } catch (const Failure&) {
      }
      throw;
    }
    Exec(sql_, table.name, "UNLOCK TABLES");
    Exec(sql_, table.name, "FLUSH TABLES " + Name(sqlName));
  }

  const Options& options_;
  SqlConnection& sql_;
  XtraBackup::XtraBackupUtil& util_;
  std::string staging_;
  std::string datadir_;
  Outcome& outcome_;
  std::string dbOnDisk_;
  std::string sourceDir_;
  std::string targetDir_;
  std::string quotedDb_;
  Owner owner_;
  int workCount_ = 0;
};

// The manifest's tables, classified; throws for a table this restore cannot
// bring back, before anything is changed.
std::vector<Table> PlanTables(const ManifestSummary& manifest, XtraBackup::XtraBackupUtil& util) {
  std::vector<Table> tables;
  const JsonValue& list = manifest.document["tables"];
  if (list.type() != JsonValue::Type::kArray) Fail("the manifest has no table list");
  for (const JsonValue& item : list.Items()) {
    Table table;
    std::string database;
    if (!item["name"].GetString(&table.name) || !item["engine"].GetString(&table.engine) ||
        !item["database"].GetString(&database)) {
      Fail("the manifest has a table entry without name, engine or database");
    }
    if (database != manifest.database) continue;
    item["partitioned"].GetBool(&table.partitioned);
    item["fulltext"].GetBool(&table.fulltext);
    util.convertSpecialCharsToHexChars(table.name, table.stem);
    if (table.engine == "InnoDB") {
      table.kind = table.partitioned ? Kind::kPartitioned
                                     : (table.fulltext ? Kind::kFulltext : Kind::kInnoDb);
    } else if (table.engine == "MyISAM" || table.engine == "MRG_MyISAM") {
      if (table.engine != "MyISAM") {
        table.kind = Kind::kSchemaOnly;  // a MERGE table holds no data of its own
      } else {
        table.kind = Kind::kMyIsam;
      }
    } else if (table.engine == "Aria") {
      table.kind = Kind::kAria;
    } else if (table.engine == "MEMORY" || table.engine == "BLACKHOLE") {
      table.kind = Kind::kSchemaOnly;  // no data on disk to restore
    } else {
      Fail("table " + Quoted(table.name) + " uses the " +
           (table.engine.empty() ? std::string("unknown") : table.engine) +
           " engine, whose data this restore cannot bring back; nothing was changed");
    }
    tables.push_back(table);
  }
  return tables;
}

// Every file the plan needs is in the prepared staging directory.
void CheckStagingFiles(std::vector<Table>& tables, const std::string& sourceDir) {
  if (!IsDirectory(sourceDir)) Fail("the backup holds no directory " + sourceDir);
  std::vector<std::string> names = ListDirectory(sourceDir);
  std::set<std::string> present(names.begin(), names.end());
  for (Table& table : tables) {
    std::vector<std::string> need;
    if (!present.count(table.stem + ".frm")) {
      Fail("the backup lacks table " + Quoted(table.name) + " (no " + table.stem +
           ".frm); nothing was changed");
    }
    if (table.kind == Kind::kInnoDb || table.kind == Kind::kFulltext) {
      need = {table.stem + ".ibd", table.stem + ".cfg"};
    } else if ((table.kind == Kind::kMyIsam || table.kind == Kind::kAria) && !table.partitioned) {
      const char* data = table.kind == Kind::kAria ? ".MAD" : ".MYD";
      const char* index = table.kind == Kind::kAria ? ".MAI" : ".MYI";
      need = {table.stem + data, table.stem + index};
    } else if (table.partitioned && table.kind != Kind::kSchemaOnly) {
      const std::string prefix = table.stem + "#P#";
      for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) == 0) table.leafFiles.push_back(name);
      }
      if (table.leafFiles.empty()) {
        Fail("the backup lacks the partitions of " + Quoted(table.name) + " (no " + prefix +
             "* files); nothing was changed");
      }
    }
    for (const std::string& file : need) {
      if (!present.count(file)) {
        Fail("the backup lacks " + file + " of table " + Quoted(table.name) +
             "; nothing was changed");
      }
    }
  }
}

std::string JoinNames(const std::vector<std::string>& names, size_t limit) {
  std::string text;
  for (size_t i = 0; i < names.size() && i < limit; ++i) {
    if (!text.empty()) text += ", ";
    text += Quoted(names[i]);
  }
  if (names.size() > limit) text += ", ... (" + std::to_string(names.size()) + " in all)";
  return text;
}

}  // namespace

int RunRestoreDatabase(const ArgList& argv) {
  Options options = ParseOptions(argv);
  const double started = MonotonicSeconds();
  if (::access(options.defaultsFile.c_str(), R_OK) != 0) {
    Fail("cannot read defaults file " + options.defaultsFile + ": " + ErrnoText(errno));
  }
  options.defaultsFile = AbsolutePath(options.defaultsFile);

  // The backup: one database, the one asked for, with its schema.
  if (!IsDirectory(options.backupDir)) Fail("backup directory " + options.backupDir + " does not exist");
  ManifestSummary manifest = LoadManifest(options.backupDir);
  if (manifest.kind != "database") {
    Fail(options.backupDir + " holds a whole-server backup; use restore --full");
  }
  if (manifest.database != options.database) {
    Fail(options.backupDir + " holds database '" + manifest.database + "', not '" +
         options.database + "'");
  }
  for (const char* reserved : {"mysql", "information_schema", "performance_schema", "sys"}) {
    if (options.database == reserved) Fail("refusing to restore the system database " + options.database);
  }
  const std::string streamPath = JoinPath(options.backupDir, manifest.streamFile);
  if (!PathExists(streamPath)) Fail("the backup has no stream file " + streamPath);
  std::string schemaFile = kSchemaFile;
  manifest.document["schema"]["file"].GetString(&schemaFile);
  if (schemaFile.empty() || schemaFile.find('/') != std::string::npos) schemaFile = kSchemaFile;
  const std::string schemaPath = JoinPath(options.backupDir, schemaFile);
  if (!PathExists(schemaPath)) Fail("the backup has no schema file " + schemaPath);
  const std::string schema = ReadSmallFile(schemaPath, 256u << 20);
  std::string schemaSha;
  if (manifest.document["schema"]["sha256"].GetString(&schemaSha) &&
      Sha256OfText(schema) != schemaSha) {
    Fail("the SHA-256 of " + schemaPath + " does not match the manifest (the file is damaged "
         "or was changed)");
  }

  XtraBackup::XtraBackupUtil names;
  std::vector<Table> tables = PlanTables(manifest, names);

  // The server: reachable, where its files are, and whether the database exists.
  SqlConnection sql(options.defaultsFile, options.socket, options.user);
  std::vector<SqlRow> facts = sql.Query("SELECT VERSION(), @@datadir");
  if (facts.empty() || facts[0].size() < 2) Fail("the server did not describe itself");
  const std::string version = facts[0][0];
  const std::string datadir =
      StripTrailingSlashes(options.datadir.empty() ? facts[0][1] : AbsolutePath(options.datadir));
  ServerFileOwner(datadir);
  std::string dbOnDisk;
  names.convertSpecialCharsToHexChars(options.database, dbOnDisk);
  const bool exists =
      sql.Scalar("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE CAST(SCHEMA_NAME AS "
                 "BINARY) = " + SqlBytes(options.database)) != "0";
  const bool directoryExists = PathExists(JoinPath(datadir, dbOnDisk));
  if ((exists || directoryExists) && !options.replace) {
    Fail("database '" + options.database + "' already exists on the server" +
         (exists ? std::string() : " (its directory " + JoinPath(datadir, dbOnDisk) + " does)") +
         "; nothing was changed. Give --replace to drop it and restore the backup in its place");
  }
  if (!manifest.serverVersion.empty() &&
      manifest.serverVersion.substr(0, manifest.serverVersion.find('-')) !=
          version.substr(0, version.find('-'))) {
    Log().Notice("xbagent: note: the backup was taken on " + manifest.serverVersion +
                 ", this server is " + version);
  }

  // Verify, extract and prepare, away from the server.
  uint64_t streamSize = VerifyStream(manifest, streamPath);
  std::string staging = options.stagingDir;
  bool stagingExists = false;
  if (staging.empty()) {
    staging = MakeScratchDir("xbagent-restore");
    stagingExists = false;
  } else {
    stagingExists = CheckFreshDirectory(staging, "staging directory");
    if (!stagingExists && ::mkdir(staging.c_str(), 0700) != 0) {
      Fail("cannot create staging directory " + staging + ": " + ErrnoText(errno));
    }
  }
  StagingGuard stagingGuard(staging, !stagingExists);

  ToolDir tools(options.toolDir);
  XtraBackup::mysqlDetails details;
  details.sDefaultsFile = options.defaultsFile;
  details.sUser = options.user;
  details.sDataDir = datadir;
  LibMySqlProcess::MySqlChildProcess child;
  XtraBackup::XtraBackupUtil util(false, details, &child, tools.path());
  util.bFullServerXtrabackup = false;
  CKaError status = util.initialize();
  if (status.IsError()) Fail("the utility library did not initialise: " + status.AsString());

  Log().Notice("xbagent: restoring database '" + options.database + "' (" +
               std::to_string(tables.size()) + " tables) from " + options.backupDir);
  ExtractStream(util, child, streamPath, streamSize, staging);
  const double extracted = MonotonicSeconds();
  status = util.prepare(staging);
  if (status.IsError()) {
    Fail("preparing the backup failed: " + ReasonFromText(status.AsString(), "xtrabackup"));
  }
  const double prepared = MonotonicSeconds();
  CheckStagingFiles(tables, JoinPath(staging, dbOnDisk));

  long fileNumber = 0;
  long position = 0;
  const bool haveBinlog = PathExists(JoinPath(staging, kBinlogInfoFile));
  if (haveBinlog) {
    status = util.populateLogData(&fileNumber, &position, staging);
    if (status.IsError()) {
      Fail("cannot read the binary-log coordinates of the backup: " + status.AsString());
    }
  }
  if (StopRequested()) Fail("interrupted; nothing was changed");

  // From here on the server changes.
  sql.Query("SET SESSION foreign_key_checks = 0");
  if (exists || directoryExists) {
    Log().Notice("xbagent: --replace: dropping database '" + options.database + "'");
    try {
      sql.Query("DROP DATABASE IF EXISTS " + SqlIdentifier(options.database));
    } catch (const Failure& failure) {
      Fail("dropping database '" + options.database + "' failed: " + failure.what());
    }
  }
  ApplySchema(options, schema);
  std::set<std::string> created;
  for (const SqlRow& row : sql.Query(
           "SELECT TABLE_NAME FROM information_schema.TABLES WHERE CAST(TABLE_SCHEMA AS BINARY) = " +
           SqlBytes(options.database))) {
    created.insert(row[0]);
  }
  for (const Table& table : tables) {
    if (!created.count(table.name)) {
      Fail("the schema did not create table " + Quoted(table.name) +
           "; the database holds the schema only. Rerun with --replace after fixing " + schemaPath);
    }
  }
  const double schemaDone = MonotonicSeconds();

  Outcome outcome;
  Restorer restorer(options, sql, util, staging, datadir, outcome);
  const bool showProgress = ::isatty(2) == 1 && Log().verbosity() != Verbosity::kQuiet;
  size_t index = 0;
  try {
    for (const Table& table : tables) {
      ++index;
      if (StopRequested()) Fail("interrupted");
      if (showProgress) {
        Log().Status("restore [" + std::to_string(index) + "/" + std::to_string(tables.size()) +
                     "] " + Quoted(table.name) + " (" + KindName(table.kind) + ")");
      }
      const double tableStart = MonotonicSeconds();
      const uint64_t bytesBefore = outcome.bytes;
      restorer.Restore(table);
      outcome.restored.push_back(table.name);
      ++outcome.byKind[table.kind];
      Log().Detail(Verbosity::kVerbose,
                   "restored " + Quoted(table.name) + " (" + KindName(table.kind) + ", " +
                       HumanBytes(outcome.bytes - bytesBefore) + ") in " +
                       HumanSeconds(MonotonicSeconds() - tableStart));
    }
  } catch (const Failure& failure) {
    if (showProgress) Log().ClearStatus();
    std::vector<std::string> untouched;
    for (size_t i = index; i < tables.size(); ++i) untouched.push_back(tables[i].name);
    std::string message = std::string(failure.what()) + ". Restored " +
                          std::to_string(outcome.restored.size()) + " of " +
                          std::to_string(tables.size()) + " tables";
    if (!outcome.leftDiscarded.empty()) {
      message += "; left discarded (no tablespace): " + JoinNames(outcome.leftDiscarded, 10);
    } else if (!outcome.current.empty()) {
      message += "; " + Quoted(outcome.current) + " is left incomplete";
    }
    if (!outcome.leftWorkTables.empty()) {
      message += "; work table(s) left: " + JoinNames(outcome.leftWorkTables, 10);
    }
    if (!untouched.empty()) {
      message += "; not yet restored (empty, as created from the schema): " +
                 JoinNames(untouched, 10);
    }
    message += ". Rerun with --replace to restore the database again";
    Fail(message);
  }
  if (showProgress) Log().ClearStatus();
  const double finished = MonotonicSeconds();

  if (haveBinlog) {
    std::printf("file_number=%ld\nposition=%ld\n", fileNumber, position);
    std::fflush(stdout);
  }
  std::string kinds;
  for (const auto& kind : outcome.byKind) {
    if (!kinds.empty()) kinds += ", ";
    kinds += std::to_string(kind.second) + " " + KindName(kind.first);
    if (kind.first == Kind::kPartitioned) {
      kinds += " (" + std::to_string(outcome.partitions) + " partitions)";
    }
  }
  Log().Notice("xbagent: restored database '" + options.database + "': " +
               std::to_string(outcome.restored.size()) + " tables" +
               (kinds.empty() ? std::string() : " (" + kinds + ")") + ", " +
               HumanBytes(outcome.bytes) + " copied in " + HumanSeconds(finished - started) +
               " (extract " + HumanSeconds(extracted - started) + ", prepare " +
               HumanSeconds(prepared - extracted) + ", schema " +
               HumanSeconds(schemaDone - prepared) + ", tables " +
               HumanSeconds(finished - schemaDone) + ")");
  if (haveBinlog) {
    Log().Notice("xbagent: binary-log coordinates of the backup: file number " +
                 std::to_string(fileNumber) + ", position " + std::to_string(position));
  }
  return kExitOk;
}

}  // namespace xbagent
