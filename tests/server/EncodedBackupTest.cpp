// Compressed and encrypted whole-server backups against the throwaway
// server: they restore to equal tables, and a missing or wrong key, a changed
// byte or a cut stream are refused before anything is written.

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "harness/Harness.h"

namespace {

using xbtest::PathExists;
using xbtest::ReadFile;
using xbtest::RunShell;
using xbtest::Contains;
using xbtest::Sha256Of;
using xbtest::TempDir;
using xbtest::WriteFile;
using Result = xbtest::RunResult;

const char kDb[] = "encoded_db";

std::string Q(const std::string& value) { return xbtest::ShellQuote(value); }

class EncodedBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sandbox_ = xbtest::GetSandbox();
    if (!sandbox_.available()) GTEST_SKIP() << "no throwaway server (XB_SANDBOX_DIR)";
    if (::geteuid() != 0) GTEST_SKIP() << "restore --full runs as root";
    int status = 0;
    std::string out = sandbox_.Sql(
        std::string("DROP DATABASE IF EXISTS ") + kDb + ";\nCREATE DATABASE " + kDb + ";\nUSE " +
            kDb + ";\n"
            "CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(100), KEY kv (v)) ENGINE=InnoDB;\n"
            "INSERT INTO t SELECT seq, REPEAT(CHAR(65 + seq % 26), 60) FROM seq_1_to_20000;\n"
            "CREATE TABLE parts (id INT PRIMARY KEY, v INT) PARTITION BY HASH (id) PARTITIONS 2;\n"
            "INSERT INTO parts SELECT seq, seq FROM seq_1_to_500;\n"
            "CREATE TABLE plain (id INT) ENGINE=MyISAM;\nINSERT INTO plain VALUES (1), (2);\n",
        &status);
    ASSERT_EQ(status, 0) << out;
    // A base64 key, as 'openssl rand -base64 32' makes one.
    RunShell("openssl rand -base64 32 > " + Q(work_ / "key"), &status);
    ASSERT_EQ(status, 0);
    RunShell("head -c 32 /dev/urandom > " + Q(work_ / "other-key"));
    ::chmod(work_.path().c_str(), 0755);  // the second server runs as mysql
  }

  Result Xb(const std::string& args) { return xbtest::RunProgram("xbagent", args); }

  std::string Checksums(const std::string& cnf) {
    int status = 0;
    std::string list = std::string(kDb) + ".t, " + kDb + ".parts, " + kDb + ".plain";
    std::string out = RunShell("mariadb --defaults-file=" + Q(cnf) + " -N -B -e " +
                                   Q("CHECKSUM TABLE " + list) + " 2>&1",
                               &status);
    EXPECT_EQ(status, 0) << out;
    return out;
  }

  // Starts a server on datadir, returns the checksums it gives, stops it.
  std::string ChecksumsOfRestored(const std::string& datadir) {
    const std::string run = work_ / "run";
    const std::string cnf = work_ / "my.cnf";
    ::mkdir(run.c_str(), 0755);
    RunShell("chown mysql:mysql " + Q(run));
    WriteFile(cnf, "[client]\nsocket=" + run + "/s.sock\nuser=root\n\n[mysqld]\ndatadir=" +
                       datadir + "\nsocket=" + run + "/s.sock\npid-file=" + run + "/s.pid" +
                       "\nlog-error=" + run + "/error.log" +
                       "\nskip-networking\nserver-id=2\n");
    RunShell("setsid mariadbd --defaults-file=" + Q(cnf) + " --user=mysql </dev/null >" +
             Q(work_ / "out.log") + " 2>&1 &");
    bool up = false;
    for (int i = 0; i < 300 && !up; ++i) {
      int status = 1;
      RunShell("mariadb-admin --defaults-file=" + Q(cnf) + " ping >/dev/null 2>&1", &status);
      up = status == 0;
      if (!up) ::usleep(100000);
    }
    std::string sums = up ? Checksums(cnf) : std::string();
    RunShell("pid=$(cat " + Q(run + "/s.pid") + " 2>/dev/null); [ -n \"$pid\" ] && kill $pid; "
             "for i in $(seq 1 100); do [ -n \"$pid\" ] && kill -0 $pid 2>/dev/null || break; "
             "sleep 0.1; done");
    EXPECT_TRUE(up) << ReadFile(run + "/error.log") << ReadFile(work_ / "out.log");
    return sums;
  }

  xbtest::Sandbox sandbox_;
  TempDir work_{"xbagent-encoded"};
};

TEST_F(EncodedBackupTest, ACompressedEncryptedBackupRestoresEqualTables) {
  const std::string backup = work_ / "backup";
  Result r = Xb("backup -q --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " +
                Q(sandbox_.toolDir) + " --output-dir " + Q(backup) +
                " --compress zstd:5 --encrypt-key-file " + Q(work_ / "key"));
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string original = Checksums(sandbox_.cnf);

  std::string manifest = ReadFile(backup + "/manifest.json");
  EXPECT_TRUE(Contains(manifest, "\"compression\": \"zstd\"")) << manifest;
  EXPECT_TRUE(Contains(manifest, "\"compression_level\": 5")) << manifest;
  EXPECT_TRUE(Contains(manifest, "\"encryption\": \"aes-256-gcm\"")) << manifest;
  EXPECT_TRUE(Contains(manifest, "\"sha256\": \"" + Sha256Of(backup + "/backup.xbstream")))
      << "the manifest's SHA-256 is of the stored file";
  // Nothing of the tool's stream shows in the stored file.
  std::string stored = ReadFile(backup + "/backup.xbstream");
  EXPECT_EQ(stored.compare(0, 8, "XBAGCRY1"), 0);
  EXPECT_EQ(stored.find("XBSTCK01"), std::string::npos);
  EXPECT_EQ(stored.find("encoded_db"), std::string::npos);

  r = Xb("info " + Q(backup));
  EXPECT_TRUE(Contains(r.out, "zstd level 5, AES-256-GCM encrypted")) << r.out;

  const std::string target = work_ / "data";
  r = Xb("restore --full --from " + Q(backup) + " --target-datadir " + Q(target) +
         " --encrypt-key-file " + Q(work_ / "key"));
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ChecksumsOfRestored(target), original);
  EXPECT_TRUE(Contains(original, "parts")) << original;
}

TEST_F(EncodedBackupTest, AMissingOrWrongKeyAndAChangedByteAreRefusedBeforeAnythingIsWritten) {
  // Made through standard output, as an uploader would take it.
  const std::string backup = work_ / "backup";
  ::mkdir(backup.c_str(), 0700);
  int status = 0;
  RunShell(Q(xbtest::BinDir() + "/xbagent") + " backup -q --defaults-file " + Q(sandbox_.cnf) +
               " --tool-dir " + Q(sandbox_.toolDir) + " --output - --manifest " +
               Q(backup + "/manifest.json") + " --compress --encrypt-key-file " +
               Q(work_ / "key") + " > " + Q(backup + "/backup.xbstream"),
           &status);
  ASSERT_EQ(status, 0);
  const std::string key = " --encrypt-key-file " + Q(work_ / "key");
  auto restore = [&](const std::string& name, const std::string& extra) {
    return Xb("restore --full --from " + Q(backup) + " --target-datadir " + Q(work_ / name) +
              " --staging-dir " + Q(work_ / (name + ".staging")) + extra);
  };

  Result r = restore("nokey", "");
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "encrypted: give its key with --encrypt-key-file")) << r.err;
  r = restore("wrongkey", " --encrypt-key-file " + Q(work_ / "other-key"));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "wrong key")) << r.err;

  // One byte changed in the middle, the manifest re-hashed to match: only
  // the encryption's authentication can tell.
  const std::string path = backup + "/backup.xbstream";
  std::string stored = ReadFile(path);
  const std::string oldSha = Sha256Of(path);
  stored[stored.size() / 2] ^= 0x01;
  WriteFile(path, stored);
  std::string manifest = ReadFile(backup + "/manifest.json");
  size_t at = manifest.find(oldSha);
  ASSERT_NE(at, std::string::npos);
  manifest.replace(at, oldSha.size(), Sha256Of(path));
  WriteFile(backup + "/manifest.json", manifest);
  r = restore("flipped", key);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "fails authentication")) << r.err;

  r = Xb("verify " + Q(backup) + key + " --scratch-dir " + Q(work_.path()));
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.out, "fails authentication")) << r.out;

  for (const char* name : {"nokey", "wrongkey", "flipped"}) {
    EXPECT_FALSE(PathExists(work_ / name)) << name;
    EXPECT_FALSE(PathExists(work_ / (std::string(name) + ".staging"))) << name;
  }
}

// Read on standard input, as from an object-store download: a changed,
// cut or lengthened stream is refused and the target never created; the good
// one restores equal tables. A backup whose output fails, fails.
TEST_F(EncodedBackupTest, AStreamOnStandardInputRestoresAndABadOneCreatesNoTarget) {
  const std::string stream = work_ / "stream";
  const std::string manifest = work_ / "manifest.json";
  const std::string key = " --encrypt-key-file " + Q(work_ / "key");
  const std::string xb = Q(xbtest::BinDir() + "/xbagent");
  int status = 0;
  RunShell(xb + " backup -q --defaults-file " + Q(sandbox_.cnf) + " --tool-dir " +
               Q(sandbox_.toolDir) + " --output - --manifest " + Q(manifest) +
               " --compress" + key + " > " + Q(stream),
           &status);
  ASSERT_EQ(status, 0);
  // An output that cannot take the stream fails the backup at once: the
  // encoder's failure stops the relay and its hasher alike.
  std::string err = RunShell("timeout 120 " + xb + " backup -q --defaults-file " +
                                 Q(sandbox_.cnf) + " --tool-dir " + Q(sandbox_.toolDir) +
                                 " --output - --manifest " + Q(work_ / "full.json") +
                                 " --compress" + key + " 2>&1 >/dev/full",
                             &status);
  EXPECT_EQ(status, 1) << err;
  EXPECT_TRUE(Contains(err, "cannot write the encoded stream")) << err;
  const std::string original = Checksums(sandbox_.cnf);
  auto restore = [&](const std::string& name, const std::string& input) {
    Result r;
    r.err = RunShell(xb + " restore -q --full --from - --manifest " + Q(manifest) +
                         " --target-datadir " + Q(work_ / name) + " --tool-dir " +
                         Q(sandbox_.toolDir) + key + " < " + Q(input) + " 2>&1",
                     &r.status);
    return r;
  };
  const std::string good = ReadFile(stream);
  std::string flipped = good;
  flipped[flipped.size() / 2] ^= 0x01;
  WriteFile(work_ / "flipped.in", flipped);
  WriteFile(work_ / "cut.in", good.substr(0, good.size() - 100));
  WriteFile(work_ / "longer.in", good + "x");
  for (const char* name : {"flipped", "cut", "longer"}) {
    Result r = restore(name, work_ / (std::string(name) + ".in"));
    EXPECT_EQ(r.status, 1) << name << ": " << r.err;
    EXPECT_FALSE(PathExists(work_ / name)) << name;
  }
  EXPECT_TRUE(RunShell("ls -a " + Q(work_.path()) + " | grep staging").empty());

  Result r = restore("data", stream);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ChecksumsOfRestored(work_ / "data"), original);
}

}  // namespace
