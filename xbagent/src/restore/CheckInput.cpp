// Phase "check the input": the backup and its schema, the server, the
// target, the tables the restore will replace and the foreign keys that
// point at them, replicas, leftovers of earlier runs, and free space. Nothing
// on the server changes here (except removing leftovers of dead runs).

#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "../Common.h"
#include "../Fs.h"
#include "../Log.h"
#include "../Sha256.h"
#include "Plan.h"

namespace xbagent {
namespace restore {

namespace {

const char* const kSystemDatabases[] = {"mysql", "information_schema", "performance_schema",
                                        "sys"};

void CheckNames(const Options& options) {
  for (const char* reserved : kSystemDatabases) {
    if (options.database == reserved || options.target == reserved) {
      Fail("refusing to restore the system database " + std::string(reserved));
    }
  }
  if (options.target.compare(0, 8, kReservedPrefix) == 0) {
    Fail("database names beginning with '" + std::string(kReservedPrefix) +
         "' are reserved for the restore's own databases; choose another name");
  }
}

// The key of an encrypted backup: a missing or wrong one stops the restore
// before the server is touched (a stream on standard input tells a wrong key
// in its first bytes).
void LoadKey(Plan& plan, const std::string& streamPath) {
  try {
    plan.key = KeyForBackup(plan.manifest.encoding, plan.options.keyFile);
    if (plan.manifest.encoding.encrypted && !plan.options.fromStdin) {
      CheckStreamKey(streamPath, plan.key);
    }
  } catch (const Failure& failure) {
    if (failure.code() != kExitFailure) throw;
    Fail(std::string(failure.what()) + "; nothing was changed");
  }
}

void LoadBackup(Plan& plan) {
  const Options& options = plan.options;
  plan.source = options.fromStdin ? std::string("standard input") : options.backupDir;
  if (options.fromStdin) {
    if (::isatty(0)) UsageFail("--from -: standard input is a terminal, not a stream");
    plan.manifest = LoadManifestFile(options.manifestFile);
  } else {
    if (!IsDirectory(options.backupDir)) {
      Fail("backup directory " + options.backupDir + " does not exist");
    }
    plan.manifest = LoadManifest(options.backupDir);
  }
  if (plan.manifest.kind != "database") {
    Fail(plan.source + " holds a whole-server backup; use restore --full");
  }
  if (plan.manifest.database != options.database) {
    Fail(plan.source + " holds database '" + plan.manifest.database + "', not '" +
         options.database + "'");
  }
  const std::string& onDisk = plan.manifest.databaseOnDisk;
  if (!onDisk.empty() && (onDisk == "." || onDisk == ".." || onDisk.find('/') != std::string::npos ||
                          onDisk.find('\0') != std::string::npos)) {
    Fail("the manifest's database_on_disk '" + onDisk + "' is no directory name");
  }
  const std::string streamPath = JoinPath(options.backupDir, plan.manifest.streamFile);
  if (!options.fromStdin && !PathExists(streamPath)) {
    Fail("the backup has no stream file " + streamPath);
  }
  LoadKey(plan, streamPath);
  std::string schemaFile = kSchemaFile;
  GetString(Member(Member(plan.manifest.document, "schema"), "file"), &schemaFile);
  if (schemaFile.empty() || schemaFile.find('/') != std::string::npos) schemaFile = kSchemaFile;
  plan.schemaPath =
      options.fromStdin ? options.schemaFile : JoinPath(options.backupDir, schemaFile);
  if (!PathExists(plan.schemaPath)) Fail("the backup has no schema file " + plan.schemaPath);
  const std::string schema = ReadSmallFile(plan.schemaPath, 256u << 20);
  std::string schemaSha;
  if (GetString(Member(Member(plan.manifest.document, "schema"), "sha256"), &schemaSha) &&
      Sha256OfText(schema) != schemaSha) {
    Fail("the SHA-256 of " + plan.schemaPath + " does not match the manifest (the file is "
         "damaged or was changed)");
  }
  plan.schema = ParseSchema(schema);
}

Kind Classify(const Table& table, const SchemaScript& schema) {
  if (schema.sequences.count(table.name)) return Kind::kSequence;
  if (table.engine == "InnoDB") {
    if (table.partitioned) return Kind::kPartitioned;
    return table.fulltext ? Kind::kFulltext : Kind::kInnoDb;
  }
  if (table.engine == "MyISAM") return Kind::kMyIsam;
  if (table.engine == "Aria") return Kind::kAria;
  if (table.engine == "MRG_MyISAM" || table.engine == "MEMORY" || table.engine == "BLACKHOLE") {
    return Kind::kSchemaOnly;  // no data of its own on disk
  }
  Fail("table " + Quoted(table.name) + " uses the " +
       (table.engine.empty() ? std::string("unknown") : table.engine) +
       " engine, whose data this restore cannot bring back; nothing was changed");
}

// The manifest's tables, classified, narrowed to --table.
void PlanTables(Plan& plan) {
  const Json& list = Member(plan.manifest.document, "tables");
  if (!list.is_array()) Fail("the manifest has no table list");
  std::vector<Table> all;
  for (const Json& item : list) {
    Table table;
    std::string database;
    if (!GetString(Member(item, "name"), &table.name) ||
        !GetString(Member(item, "engine"), &table.engine) ||
        !GetString(Member(item, "database"), &database)) {
      Fail("the manifest has a table entry without name, engine or database");
    }
    if (database != plan.manifest.database) continue;
    GetBool(Member(item, "partitioned"), &table.partitioned);
    GetBool(Member(item, "fulltext"), &table.fulltext);
    table.stem = OnDisk(table.name);
    all.push_back(table);
  }
  for (const std::string& wanted : plan.options.tables) {
    auto found = std::find_if(all.begin(), all.end(),
                              [&](const Table& t) { return t.name == wanted; });
    if (found == all.end()) {
      Fail("the backup has no table " + Quoted(wanted) + "; nothing was changed");
    }
  }
  for (Table& table : all) {
    if (!plan.options.tables.empty() &&
        std::find(plan.options.tables.begin(), plan.options.tables.end(), table.name) ==
            plan.options.tables.end()) {
      continue;
    }
    table.kind = Classify(table, plan.schema);
    if (plan.schema.remoteTables.count(table.name)) {
      Fail("table " + Quoted(table.name) + " has DATA DIRECTORY or INDEX DIRECTORY, whose files "
           "this restore does not place outside the data directory (the server's RENAME TABLE "
           "into another database leaves such a table's link behind, and a server crash during "
           "a rename within one database leaves it unopenable: crash recovery stops at its link "
           "file); restore the other tables with --table; nothing was changed");
    }
    plan.tables.push_back(table);
  }
}

void ConnectServer(Plan& plan) {
  plan.sql = Connect(plan);
  std::vector<SqlRow> facts = plan.sql->Query("SELECT VERSION(), @@datadir");
  if (facts.empty() || facts[0].size() < 2) Fail("the server did not describe itself");
  plan.version = facts[0][0];
  plan.datadir = StripTrailingSlashes(
      plan.options.datadir.empty() ? facts[0][1] : AbsolutePath(plan.options.datadir));
  if (!plan.options.datadir.empty() && IsDirectory(facts[0][1]) &&
      !SameFile(plan.datadir, facts[0][1])) {
    Fail("--datadir " + plan.datadir + " is not the server's data directory " + facts[0][1] +
         " (@@datadir); leave --datadir out, or give the server's own");
  }
  struct stat info;
  std::string reference = JoinPath(plan.datadir, "mysql");
  int rc = ::stat(reference.c_str(), &info);
  if (rc != 0 || !S_ISDIR(info.st_mode)) {
    Fail("the server's data directory " + plan.datadir + " has no mysql directory (" +
         (rc != 0 ? ErrnoText(errno) : std::string("not a directory")) +
         "); run on the server's host, or give --datadir as seen from here");
  }
  plan.ownerUid = info.st_uid;
  plan.ownerGid = info.st_gid;
  const std::string& mv = plan.manifest.serverVersion;
  if (!mv.empty() && mv.substr(0, mv.find('-')) != plan.version.substr(0, plan.version.find('-'))) {
    Log().Notice("xbagent: note: the backup was taken on " + mv + ", this server is " +
                 plan.version);
  }
  for (const SqlRow& row : plan.sql->Query("SHOW SLAVE HOSTS")) {
    plan.replicas.push_back(row.empty() ? std::string("?") : row[0]);
  }
  if (!plan.replicas.empty()) {
    Log().Notice("xbagent: warning: " + std::to_string(plan.replicas.size()) +
                 " replica(s) are attached (server id " + plan.replicas[0] +
                 (plan.replicas.size() > 1 ? ", ..." : "") +
                 "). The restore is not written to the binary log: restore the same backup on "
                 "each replica with its own 'xbagent restore'");
  }
}

// What exists in the target, and what the restore will move out of it.
void CheckTarget(Plan& plan) {
  const Options& options = plan.options;
  const std::string target = options.target;
  plan.targetExists =
      plan.sql->Scalar("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE CAST(SCHEMA_NAME "
                       "AS BINARY) = " + SqlBytes(target)) != "0";
  const std::string directory = JoinPath(plan.datadir, OnDisk(target));
  if (!plan.targetExists && PathExists(directory)) {
    Fail("the directory " + directory + " exists but the server does not list database '" +
         target + "'; nothing was changed. Remove or move the directory first");
  }
  if (plan.targetExists) plan.targetTables = ListTables(*plan.sql, target);
  if (options.tables.empty()) {
    if (plan.targetExists && !options.replace) {
      Fail("database '" + target + "' already exists on the server; nothing was changed. Give "
           "--replace to replace it with the backup" +
           (options.renamed ? std::string() : " (or --as NEWNAME to restore beside it)"));
    }
    plan.swappedOut = plan.targetTables;
    return;
  }
  for (const Table& table : plan.tables) {
    if (std::find(plan.targetTables.begin(), plan.targetTables.end(), table.name) ==
        plan.targetTables.end()) {
      continue;
    }
    if (!options.replace) {
      Fail("table " + Quoted(table.name) + " already exists in '" + target +
           "'; nothing was changed. Give --replace to replace it");
    }
    plan.swappedOut.push_back(table.name);
  }
}

// Foreign keys of tables that stay, referencing tables the swap moves out:
// the swap points them at the restored tables.
void FindOutsideKeys(Plan& plan) {
  if (plan.swappedOut.empty()) return;
  const std::set<std::string> out(plan.swappedOut.begin(), plan.swappedOut.end());
  for (const SqlRow& row : plan.sql->Query(
           "SELECT CONSTRAINT_SCHEMA, TABLE_NAME, CONSTRAINT_NAME, REFERENCED_TABLE_NAME, "
           "UPDATE_RULE, DELETE_RULE FROM information_schema.REFERENTIAL_CONSTRAINTS WHERE "
           "CAST(UNIQUE_CONSTRAINT_SCHEMA AS BINARY) = " + SqlBytes(plan.options.target))) {
    if (!out.count(row[3])) continue;
    if (row[0] == plan.options.target && out.count(row[1])) continue;  // moves too
    ForeignKey key;
    key.schema = row[0];
    key.table = row[1];
    key.name = row[2];
    key.refTable = row[3];
    key.updateRule = row[4];
    key.deleteRule = row[5];
    plan.outsideKeys.push_back(key);
  }
}

struct Space {
  uint64_t free = 0;
  dev_t device = 0;
};

Space FreeSpace(const std::string& path) {
  Space space;
  struct statvfs vfs;
  struct stat info;
  if (::statvfs(path.c_str(), &vfs) == 0) {
    space.free = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
  }
  if (::stat(path.c_str(), &info) == 0) space.device = info.st_dev;
  return space;
}

}  // namespace

std::string StagingParent(const Plan& plan) {
  if (plan.options.stagingDir.empty()) return ScratchBase();
  return PathExists(plan.options.stagingDir) ? plan.options.stagingDir
                                             : DirName(plan.options.stagingDir);
}

// Staging and the shadow each need about the size of the backup.
std::string CheckSpace(const Plan& plan, bool* enough) {
  const uint64_t need =
      plan.manifest.encoding.Plain() ? plan.manifest.streamSize : plan.manifest.rawSize;
  Space staging = FreeSpace(StagingParent(plan));
  Space data = FreeSpace(plan.datadir);
  std::string text;
  if (staging.device == data.device) {
    *enough = data.free >= 2 * need;
    text = "staging and shadow on one file system: " + HumanBytes(2 * need) + " needed, " +
           HumanBytes(data.free) + " free";
  } else {
    *enough = staging.free >= need && data.free >= need;
    text = "staging " + HumanBytes(need) + " needed, " + HumanBytes(staging.free) +
           " free; shadow " + HumanBytes(need) + " needed, " + HumanBytes(data.free) + " free";
  }
  return text;
}

void CheckInput(Plan& plan) {
  Options& options = plan.options;
  if (::access(options.defaultsFile.c_str(), R_OK) != 0) {
    Fail("cannot read defaults file " + options.defaultsFile + ": " + ErrnoText(errno));
  }
  options.defaultsFile = AbsolutePath(options.defaultsFile);
  CheckNames(options);
  LoadBackup(plan);
  PlanTables(plan);
  plan.identity = RunIdentity();
  plan.shadow = std::string(kReservedPrefix) + "shadow#" + plan.identity;
  plan.holding = std::string(kReservedPrefix) + "old#" + plan.identity;
  ConnectServer(plan);
  if (!options.dryRun) {
    plan.lock = std::make_shared<RunLock>(
        "restore --database\n" + plan.datadir + "\n" + options.target,
        "restores into database '" + options.target + "' of the server with data directory " +
            plan.datadir);
  }
  RemoveLeftovers(plan, options.dryRun);
  CheckTarget(plan);
  CheckPartitionedTables(plan);
  FindOutsideKeys(plan);
  bool enough = false;
  std::string space = CheckSpace(plan, &enough);
  if (!enough && !options.dryRun) Fail("not enough free space (" + space + "); nothing was changed");
}

}  // namespace restore
}  // namespace xbagent
