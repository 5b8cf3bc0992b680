// The command lines xbagent refuses before it touches anything, and the
// options it reads from the ones it accepts. No server: every case stops at
// the parsing.

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <unistd.h>

#include "Commands.h"
#include "Common.h"
#include "backup/BackupPhases.h"
#include "binlog_archive/ArchivePhases.h"
#include "restore/Plan.h"
#include "verify/VerifyPhases.h"

namespace xbagent {
namespace {

ArgList Split(const std::string& line) {
  ArgList out;
  std::istringstream in(line);
  std::string word;
  while (in >> word) out.push_back(word == "''" ? std::string() : word);
  return out;
}

struct Refusal {
  const char* line;
  int status;
  const char* says;
};

// Runs `call` on the split line; expects a Failure with the status and text.
template <typename Call>
void ExpectRefused(const Refusal& c, Call call) {
  try {
    call(Split(c.line));
    ADD_FAILURE() << c.line << ": accepted";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.code(), c.status) << c.line << ": " << failure.what();
    EXPECT_NE(std::string(failure.what()).find(c.says), std::string::npos)
        << c.line << ": " << failure.what();
  }
}

TEST(ArgumentRulesTest, BackupRefusesBadCombinations) {
  const std::vector<Refusal> cases = {
      {"--output-dir x", kExitUsage, "--defaults-file CNF is required"},
      {"--defaults-file '' --output-dir x", kExitUsage, "--defaults-file needs a file"},
      {"--defaults-file c", kExitUsage, "give exactly one of --output-dir and --output"},
      {"--defaults-file c --output-dir x --output -", kExitUsage, "exactly one of"},
      {"--defaults-file c --output-dir ''", kExitUsage, "--output-dir needs a directory"},
      {"--defaults-file c --output /tmp/f", kExitUsage, "--output takes only '-'"},
      {"--defaults-file c --output-dir x --manifest m", kExitUsage, "--manifest requires --output"},
      {"--defaults-file c --output - --manifest ''", kExitUsage, "--manifest needs a file name"},
      {"--defaults-file c --output - --schema s", kExitUsage, "--schema requires --database"},
      {"--defaults-file c --database d --output-dir x --schema s", kExitUsage,
       "--schema requires --output"},
      {"--defaults-file c --output - --json", kExitUsage, "--json excludes --output"},
      {"--defaults-file c --output-dir x --parallel 0", kExitUsage,
       "--parallel takes a number from 1 to 64"},
      {"--defaults-file c --output-dir x --parallel 65", kExitUsage, "--parallel takes a number"},
      {"--defaults-file c --output-dir x --parallel many", kExitUsage, "--parallel takes a number"},
      {"--defaults-file c --output-dir x --compress zstd:20", kExitUsage, "--compress takes zstd"},
      {"--defaults-file c --output-dir x --compress lz4", kExitUsage, "--compress takes zstd"},
      {"--defaults-file c --output-dir x --encrypt-key-file ''", kExitUsage,
       "--encrypt-key-file needs a file"},
      {"--defaults-file c --output-dir x --bogus", kExitUsage, "unknown option --bogus"},
      {"--defaults-fle c --output-dir x", kExitUsage, "unknown option --defaults-fle"},
      {"--defaults-file c --output-dir x extra", kExitUsage, "unexpected argument 'extra'"},
      {"--defaults-file c --defaults-file d --output-dir x", kExitUsage, "given more than once"},
      {"--defaults-file c --output-dir x --json --json", kExitUsage, "given more than once"},
      {"--defaults-file c --output-dir x --json=1", kExitUsage, "--json takes no value"},
      {"--defaults-file c --output-dir x --database", kExitUsage, "--database needs a value"},
      {"--defaults-file c --output-dir x --database ''", kExitUsage, "--database needs a name"},
      {"--defaults-file c --output-dir x -q -v", kExitUsage, "excludes"},
      {"--defaults-file / --output-dir x", kExitFailure, "defaults file / is not a readable"},
      // A stream that could not be restored from what the backup wrote.
      {"--defaults-file c --output -", kExitUsage, "--output - needs --manifest FILE: restore"},
      {"--defaults-file c --database d --output -", kExitUsage,
       "needs --manifest FILE and --schema FILE"},
      {"--defaults-file c --database d --output - --manifest m", kExitUsage,
       "--output - with --database needs --schema FILE"},
      // Connections are the defaults file's; an option never becomes a value.
      {"--defaults-file c --output-dir x --password p", kExitUsage,
       "unknown option --password: connection settings"},
      {"--defaults-file c --output-dir x --host=db1", kExitUsage,
       "unknown option --host: connection settings"},
      {"--defaults-file c --output-dir x -p", kExitUsage, "belong in the defaults file"},
      {"--defaults-file c --database --output-dir x", kExitUsage,
       "--database needs a value, not the option --output-dir"},
      {"--defaults-file c --output-dir x --database `a`b`", kExitUsage,
       "a backquote is doubled"},
      {"--defaults-file c --output-dir x --database ``", kExitUsage, "--database needs a name"},
  };
  for (const Refusal& c : cases) ExpectRefused(c, ParseBackupOptions);
}

TEST(ArgumentRulesTest, RestoreRefusesBadCombinations) {
  const std::vector<Refusal> cases = {
      {"--from x", kExitUsage, "restore needs --full"},
      {"--full --database d --from x", kExitUsage, "--full and --database exclude each other"},
      {"--full --from x", kExitUsage, "--target-datadir NEWDIR is required"},
      {"--full --target-datadir t", kExitUsage, "--from DIR is required"},
      {"--full --from '' --target-datadir t", kExitUsage, "--from needs a directory"},
      {"--full --from x --target-datadir t --staging-dir ''", kExitUsage,
       "--staging-dir needs a directory"},
      {"--full --from x --target-datadir t --replace", kExitUsage, "unknown option --replace"},
      {"--full --from x --target-datadir t --json=no", kExitUsage, "--json takes no value"},
      {"--full --from x --target-datadir t --until 2026-12-08", kExitUsage,
       "--until requires --binlogs"},
      {"--full --from x --target-datadir t --binlogs a --until x --until-gtid 0-1-2", kExitUsage,
       "excludes"},
      {"--full --from x --target-datadir t --binlogs a", kExitUsage,
       "--binlogs needs one of --until TIME or --until-gtid GTID"},
      {"--full --from x --target-datadir t --binlogs a --until-gtid 0-1", kExitUsage,
       "--until-gtid takes one GTID"},
      {"--database d --from x", kExitUsage, "--defaults-file CNF is required"},
      {"--database d --defaults-file c", kExitUsage, "--from DIR is required"},
      {"--database '' --from x --defaults-file c", kExitUsage, "--database needs a name"},
      {"--database d --from x --defaults-file c --as ''", kExitUsage, "--as needs a database"},
      {"--database d --from x --defaults-file c --replace=1", kExitUsage, "takes no value"},
      {"--database d --from x --defaults-file c --dry-run --dry-run", kExitUsage,
       "--dry-run given more than once"},
      {"--database d --from x --defaults-file c --lock-wait-timeout 0", kExitUsage,
       "--lock-wait-timeout needs a number of seconds from 1 to 31536000"},
      {"--database d --from x --defaults-file c --lock-wait-timeout 31536001", kExitUsage,
       "--lock-wait-timeout needs"},
      {"--database d --from x --defaults-file c --lock-wait-timeout soon", kExitUsage,
       "--lock-wait-timeout needs"},
      {"--database d --from x --defaults-file c --table", kExitUsage, "--table needs a value"},
      {"--database d --from x --defaults-file c --table ''", kExitUsage,
       "--table needs a table name"},
      {"--database d --from x --defaults-file c --table t1 t2", kExitUsage,
       "unexpected argument 't2'"},
      {"--database d --from x --defaults-file c --table t --binlogs a --until-gtid 0-1-2",
       kExitUsage, "excludes --binlogs"},
      {"--database d --from x --defaults-file c --target-datadir t", kExitUsage,
       "unknown option --target-datadir"},
      {"--full --from - --target-datadir t", kExitUsage, "--from - needs --manifest FILE"},
      {"--full --from x --manifest m --target-datadir t", kExitUsage,
       "--manifest goes with --from -"},
      {"--database d --from - --defaults-file c --manifest m", kExitUsage,
       "--from - needs --manifest FILE and --schema FILE"},
      {"--database d --from x --defaults-file c --schema s", kExitUsage,
       "--manifest and --schema go with --from -"},
      {"--database d --from x --defaults-file c --encrypt-key-file ''", kExitUsage,
       "--encrypt-key-file needs a file"},
      {"--database d --from x --defaults-file /", kExitFailure,
       "defaults file / is not a readable"},
      {"--database d --from --defaults-file c", kExitUsage,
       "--from needs a value, not the option --defaults-file"},
      {"--database d --from x --defaults-file c --host h", kExitUsage,
       "there is no --host or --port"},
  };
  for (const Refusal& c : cases) ExpectRefused(c, RunRestore);
}

TEST(ArgumentRulesTest, RestoreAndBackupReadTheirOptions) {
  char cnf[] = "/tmp/xbagent-args-XXXXXX";
  const int fd = ::mkstemp(cnf);
  ASSERT_GE(fd, 0);
  ::close(fd);
  const std::string defaults = cnf;
  restore::Options options = restore::ParseOptions(
      Split("--database shop --from /b --defaults-file " + defaults +
            " --as shop2 --replace --dry-run --table t1 --table=t2 --lock-wait-timeout=30 -vv"));
  EXPECT_EQ(options.database, "shop");
  EXPECT_EQ(options.target, "shop2");
  EXPECT_TRUE(options.renamed);
  EXPECT_EQ(options.backupDir, "/b");
  EXPECT_EQ(options.defaultsFile, defaults);
  EXPECT_TRUE(options.replace);
  EXPECT_TRUE(options.dryRun);
  EXPECT_EQ(options.tables, (std::vector<std::string>{"t1", "t2"}));
  EXPECT_EQ(options.lockWaitSeconds, 30u);
  EXPECT_FALSE(options.fromStdin);

  options = restore::ParseOptions(Split("--database shop --from - --manifest /m.json --schema "
                                        "/s.sql --encrypt-key-file k --defaults-file " + defaults));
  EXPECT_TRUE(options.fromStdin);
  EXPECT_EQ(options.backupDir, "");
  EXPECT_EQ(options.manifestFile, "/m.json");
  EXPECT_EQ(options.schemaFile, "/s.sql");
  EXPECT_EQ(options.keyFile, "k");

  // Names as written in SQL: backquotes are taken off, a doubled one inside is one.
  options = restore::ParseOptions(Split("--database `shop` --as `a``b` --table `t-1` --from /b "
                                        "--defaults-file " + defaults));
  EXPECT_EQ(options.database, "shop");
  EXPECT_EQ(options.target, "a`b");
  EXPECT_EQ(options.tables, (std::vector<std::string>{"t-1"}));

  BackupOptions backup = ParseBackupOptions(
      Split("-q --defaults-file=" + defaults + " --database shop --output-dir /o --parallel 4 --json"));
  EXPECT_TRUE(backup.oneDatabase);
  EXPECT_EQ(backup.database, "shop");
  EXPECT_EQ(backup.outputDir, "/o");
  EXPECT_FALSE(backup.toStdout);
  EXPECT_EQ(backup.parallel, 4u);
  EXPECT_TRUE(backup.json);
  EXPECT_FALSE(backup.encoding.zstd);

  // --compress alone is zstd at the default level; a value after it is its level.
  backup = ParseBackupOptions(Split("--compress --defaults-file " + defaults +
                                    " --output - --manifest m --database `my-db` --schema s"));
  EXPECT_EQ(backup.database, "my-db");
  EXPECT_EQ(backup.manifestFile, "m");
  EXPECT_TRUE(backup.toStdout);
  EXPECT_TRUE(backup.encoding.zstd);
  EXPECT_EQ(backup.encoding.zstdLevel, 3);
  backup =
      ParseBackupOptions(Split("--defaults-file " + defaults +
                               " --output - --manifest m --compress zstd:7"));
  EXPECT_EQ(backup.encoding.zstdLevel, 7);
  backup = ParseBackupOptions(Split("--defaults-file " + defaults + " --output-dir /o --compress"));
  EXPECT_EQ(backup.encoding.zstdLevel, 3);
  EXPECT_EQ(backup.outputDir, "/o");
  ::unlink(cnf);
}

TEST(ArgumentRulesTest, OtherCommandsRefuseBadUsage) {
  struct Case {
    const char* command;
    Refusal refusal;
  };
  const std::vector<Case> cases = {
      {"encode", {"", kExitUsage, "NAME is required"}},
      {"encode", {"a ''", kExitUsage, "an empty name has no on-disk form"}},
      {"encode", {"--json=yes a", kExitUsage, "--json takes no value"}},
      {"encode", {"--json --json a", kExitUsage, "--json given more than once"}},
      {"info", {"", kExitUsage, "DIR is required"}},
      {"info", {"a b", kExitUsage, "unexpected argument 'b'"}},
      {"list", {"--log", kExitUsage, "--log needs a value"}},
      {"list", {"-v -q r", kExitUsage, "excludes"}},
      {"binlog-info", {"--bogus x", kExitUsage, "unknown option --bogus"}},
      {"binlog-info", {"--defaults-fle c", kExitUsage, "unknown option --defaults-fle"}},
      {"verify", {"", kExitUsage, "DIR is required"}},
      {"verify", {"d --scratch-dir ''", kExitUsage, "--scratch-dir needs a directory"}},
      {"verify", {"d --scratch-dir /proc/self/status", kExitUsage, "is not a directory"}},
      {"binlog-archive", {"--to d", kExitUsage, "--defaults-file CNF is required"}},
      {"binlog-archive", {"--defaults-file c", kExitUsage, "--to DIR is required"}},
      {"binlog-archive", {"--defaults-file c --to ''", kExitUsage, "--to needs a directory"}},
      {"binlog-archive",
       {"--defaults-file c --to d --once=no", kExitUsage, "--once takes no value"}},
      {"binlog-archive", {"--defaults-file c --to d x", kExitUsage, "unexpected argument 'x'"}},
  };
  for (const Case& c : cases) {
    const std::string command = c.command;
    ExpectRefused(c.refusal, [&](const ArgList& argv) {
      if (command == "encode") return RunEncode(argv);
      if (command == "info") return RunInfo(argv);
      if (command == "list") return RunList(argv);
      if (command == "verify") return ParseVerifyOptions(argv).json ? 0 : 1;
      if (command == "binlog-archive") return ParseArchiveOptions(argv).once ? 0 : 1;
      return RunBinlogInfo(argv);
    });
  }
}

// --help prints the generated help on standard output and ends the command
// with status 0 before anything runs.
// --help anywhere, even where a value is due, is a request for help.
TEST(ArgumentRulesTest, HelpEndsTheCommandWithStatusZero) {
  struct Case {
    int (*command)(const ArgList&);
    const char* line;
  };
  const std::vector<Case> cases = {
      {RunInfo, "--help"},
      {RunInfo, "-h"},
      {RunInfo, "d --json --help"},
      {RunRestore, "--database --help"},
      {RunRestore, "--database d --from x --as --help"},
      {RunRestore, "--full --from -h"},
      {RunBackup, "--defaults-file c --database --help"},
  };
  std::FILE* saved = std::tmpfile();  // the help goes to standard output
  ASSERT_NE(saved, nullptr);
  std::fflush(stdout);
  const int out = ::dup(1);
  ::dup2(fileno(saved), 1);
  for (const Case& c : cases) {
    try {
      c.command(Split(c.line));
      ADD_FAILURE() << c.line << ": ran";
    } catch (const Failure& failure) {
      EXPECT_EQ(failure.code(), kExitOk) << c.line << ": " << failure.what();
      EXPECT_STREQ(failure.what(), "") << c.line;
    }
  }
  std::fflush(stdout);
  ::dup2(out, 1);
  ::close(out);
  std::fclose(saved);
}

}  // namespace
}  // namespace xbagent
