// xbagent restore --database with compressed and encrypted backups and with
// a stream read on standard input, against the throwaway server: a good
// backup restores equal tables; a wrong key, a changed byte or a cut stream
// is refused and leaves the live database as it was.

#include <unistd.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Contains;
using xbtest::Sha256Of;
using xbtest::TempDir;
using xbtest::WriteFile;
using Result = xbtest::RunResult;

const char kDb[] = "xbds_db";

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

class DatabaseStreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    int status = 0;
    std::string out = sandbox_.Sql(
        std::string("DROP DATABASE IF EXISTS ") + kDb + ";\nCREATE DATABASE " + kDb + ";\nUSE " +
            kDb + ";\n"
            "CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(100), KEY kv (v)) ENGINE=InnoDB;\n"
            "INSERT INTO t SELECT seq, REPEAT(CHAR(65 + seq % 26), 60) FROM seq_1_to_20000;\n"
            "CREATE TABLE parts (id INT PRIMARY KEY, v INT) PARTITION BY HASH (id) PARTITIONS 2;\n"
            "INSERT INTO parts SELECT seq, seq FROM seq_1_to_500;\n"
            "CREATE TABLE plain (id INT) ENGINE=MyISAM;\nINSERT INTO plain VALUES (1), (2);\n"
            "FLUSH TABLES;\n",
        &status);
    ASSERT_EQ(status, 0) << out;
    original_ = Checksums();
    RunShell("openssl rand -base64 32 > " + Q(work_ / "key"), &status);
    ASSERT_EQ(status, 0);
    RunShell("head -c 32 /dev/urandom > " + Q(work_ / "other-key"));
  }

  void TearDown() override {
    if (sandbox_.available()) sandbox_.Sql(std::string("DROP DATABASE IF EXISTS ") + kDb + ";\n");
  }

  std::string Xb() { return Q(xbtest::BinDir() + "/xbagent"); }

  std::string Common() {
    return " --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir);
  }

  std::string Checksums() {
    return sandbox_.Sql(std::string("CHECKSUM TABLE ") + kDb + ".t, " + kDb + ".parts, " + kDb +
                        ".plain;\n");
  }

  // Changes the live database so that a restore has something to undo.
  void Change() {
    sandbox_.Sql(std::string("USE ") + kDb + ";\nDELETE FROM t WHERE id < 100;\n"
                 "UPDATE parts SET v = 0;\nDELETE FROM plain;\n");
  }

  std::string Leftovers() {
    return sandbox_.Sql("SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME "
                        "LIKE 'xbagent#%';\n");
  }

  // Runs a shell command line; standard error in err.
  Result Shell(const std::string& command) {
    Result r;
    const std::string errFile = work_ / "stderr";
    r.out = RunShell(command + " 2>" + Q(errFile), &r.status);
    r.err = ReadFile(errFile);
    return r;
  }

  Result Restore(const std::string& input, const std::string& extra) {
    return Shell(Xb() + " restore -q --database " + kDb + " --replace --from -" + Common() +
                 " --manifest " + Q(work_ / "manifest.json") + " --schema " +
                 Q(work_ / "schema.sql") + extra + " < " + Q(input));
  }

  // A restore that must be refused, naming why, leaving the live database
  // with the checksums it had.
  void ExpectRefused(const Result& r, const std::string& why, const std::string& live) {
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_TRUE(Contains(r.err, why)) << r.err;
    EXPECT_TRUE(Contains(r.err, "nothing was changed")) << r.err;
    EXPECT_EQ(Checksums(), live);
    EXPECT_EQ(Leftovers(), "0\n");
  }

  xbtest::Sandbox sandbox_;
  TempDir work_{"xbagent-dbstream"};
  std::string original_;
};

TEST_F(DatabaseStreamTest, ACompressedEncryptedBackupRoundTripsAndBadInputChangesNothing) {
  const std::string backup = work_ / "backup";
  const std::string key = " --encrypt-key-file " + Q(work_ / "key");
  Result r = Shell(Xb() + " backup -q" + Common() + " --database " + kDb + " --output-dir " +
                   Q(backup) + " --compress zstd:5" + key);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string stored = ReadFile(backup + "/backup.xbstream");
  EXPECT_EQ(stored.compare(0, 8, "XBAGCRY1"), 0);
  Change();
  const std::string changed = Checksums();
  ASSERT_NE(changed, original_);
  auto restore = [&](const std::string& extra) {
    return Shell(Xb() + " restore -q --database " + kDb + " --replace --from " + Q(backup) +
                 Common() + extra);
  };

  ExpectRefused(restore(""), "give its key with --encrypt-key-file", changed);
  ExpectRefused(restore(" --encrypt-key-file " + Q(work_ / "other-key")), "wrong key", changed);

  // One byte changed, the manifest re-hashed to match: only the encryption's
  // authentication can tell.
  const std::string path = backup + "/backup.xbstream";
  const std::string oldSha = Sha256Of(path);
  std::string flipped = stored;
  flipped[flipped.size() / 2] ^= 0x01;
  WriteFile(path, flipped);
  const std::string manifestPath = backup + "/manifest.json";
  const std::string manifest = ReadFile(manifestPath);
  std::string rehashed = manifest;
  size_t at = rehashed.find(oldSha);
  ASSERT_NE(at, std::string::npos);
  rehashed.replace(at, oldSha.size(), Sha256Of(path));
  WriteFile(manifestPath, rehashed);
  ExpectRefused(restore(key), "fails authentication", changed);

  WriteFile(path, stored);
  WriteFile(manifestPath, manifest);
  r = Shell(Xb() + " verify -q " + Q(backup) + " --tool-dir " + Q(sandbox_.toolDir) + key);
  EXPECT_EQ(r.status, 0) << r.err << r.out;
  r = restore(key);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Checksums(), original_);
}

TEST_F(DatabaseStreamTest, AStreamOnStandardInputRestoresAndAChangedOrCutOneChangesNothing) {
  struct Case {
    const char* what;
    const char* options;  // of the backup
    const char* key;      // file name in work_, or ""
  };
  const Case cases[] = {{"plain", "", ""},
                        {"compressed and encrypted", " --compress", "key"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string key =
        *c.key ? " --encrypt-key-file " + Q(work_ / c.key) : std::string();
    const std::string stream = work_ / "stream";
    Result r = Shell(Xb() + " backup -q" + Common() + " --database " + kDb +
                     " --output - --manifest " + Q(work_ / "manifest.json") + " --schema " +
                     Q(work_ / "schema.sql") + c.options + key + " > " + Q(stream));
    ASSERT_EQ(r.status, 0) << r.err;
    Change();
    const std::string changed = Checksums();
    ASSERT_NE(changed, original_);

    const std::string good = ReadFile(stream);
    std::string flipped = good;
    flipped[flipped.size() * 2 / 3] ^= 0x01;
    WriteFile(work_ / "flipped", flipped);
    WriteFile(work_ / "cut", good.substr(0, good.size() - 100));
    WriteFile(work_ / "longer", good + "x");
    ExpectRefused(Restore(work_ / "flipped", key), "", changed);
    ExpectRefused(Restore(work_ / "cut", key), "", changed);
    ExpectRefused(Restore(work_ / "longer", key), "longer than the manifest", changed);
    if (*c.key) {
      ExpectRefused(Restore(stream, " --encrypt-key-file " + Q(work_ / "other-key")),
                    "wrong key", changed);
    }

    r = Restore(stream, key);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Checksums(), original_);
  }
}

// A writer that stalls: SIGINT still ends the restore within seconds, with
// nothing changed.
TEST_F(DatabaseStreamTest, SigintEndsARestoreWaitingForAStalledStream) {
  Result r = Shell(Xb() + " backup -q" + Common() + " --database " + kDb +
                   " --output - --manifest " + Q(work_ / "manifest.json") + " --schema " +
                   Q(work_ / "schema.sql") + " > /dev/null");
  ASSERT_EQ(r.status, 0) << r.err;
  Change();
  const std::string changed = Checksums();
  const std::string fifo = work_ / "fifo";
  const std::string script =
      "mkfifo " + Q(fifo) + "; sleep 60 > " + Q(fifo) + " & writer=$!; " + Xb() +
      " restore -q --database " + kDb + " --replace --from -" + Common() + " --manifest " +
      Q(work_ / "manifest.json") + " --schema " + Q(work_ / "schema.sql") + " < " + Q(fifo) +
      " & restore=$!; sleep 2; start=$(date +%s); kill -INT $restore; wait $restore; "
      "status=$?; echo \"$status $(( $(date +%s) - start ))\"; kill $writer";
  r = Shell("( " + script + " )");
  int status = -1;
  int seconds = -1;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "%d %d", &status, &seconds), 2) << r.out << r.err;
  EXPECT_EQ(status, 130) << r.err;
  EXPECT_LE(seconds, 3) << "the restore did not stop promptly";
  EXPECT_TRUE(Contains(r.err, "interrupted")) << r.err;
  EXPECT_EQ(Checksums(), changed);
  EXPECT_EQ(Leftovers(), "0\n");
}

}  // namespace
