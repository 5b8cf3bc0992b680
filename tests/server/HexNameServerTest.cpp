// GetMySqlInfo::getMySqlHexName against the throwaway server: the encoder
// must give exactly the directory and file names the server creates.

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness/Harness.h"

#include <MySqlCommon/GetMySqlInfo.h>

namespace {

std::string Hex(const std::string& s) { return GetMySqlInfo::getMySqlHexName(s); }

using xbtest::Utf8;

std::string HexBytes(const std::string& s) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 0xF];
  }
  return out;
}

using xbtest::ShellQuote;

std::set<std::string> ListDir(const std::string& path) {
  std::set<std::string> names;
  if (DIR* d = ::opendir(path.c_str())) {
    while (const dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    ::closedir(d);
  }
  return names;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct SqlResult {
  int status = -1;
  std::string out;
  std::string err;
};

// Statements that create or drop an object of any name: the name travels
// as hex, so neither the client nor the SQL parser sees its characters.
std::string NameExpr(const std::string& name) {
  return "REPLACE(CONVERT(X'" + HexBytes(name) + "' USING utf8mb4), '`', '``')";
}
std::string CreateDatabase(const std::string& name) {
  return "EXECUTE IMMEDIATE CONCAT('CREATE DATABASE `', " + NameExpr(name) + ", '`');\n";
}
std::string DropDatabase(const std::string& name) {
  return "EXECUTE IMMEDIATE CONCAT('DROP DATABASE IF EXISTS `', " + NameExpr(name) + ", '`');\n";
}
std::string CreateTable(const std::string& db, const std::string& name) {
  return "EXECUTE IMMEDIATE CONCAT('CREATE TABLE `" + db + "`.`', " + NameExpr(name) +
         ", '` (a INT PRIMARY KEY) ENGINE=InnoDB');\n";
}

const char kTableDb[] = "xb_hexname_tables";

// Names for real CREATE DATABASE / CREATE TABLE: letters with and without
// codes in several scripts, every ASCII punctuation character, device names.
std::vector<std::string> SampleNames() {
  std::vector<std::string> names = {
      "plain_Name_09", "Müller", "Ärger", "ärger", "Straße", "Ñandú", "Łódź", "Žluťoučký kůň",
      "ÀÁÂÃÄÅÆÇÈÉÊËÌÍÎÏ", "ðñòóôõö÷øùúûüýþÿ", "İıŉſƀǅǲ", "Ωμέγα", "Ελληνικά", "ΆΈΉΊΌΎΏΐ",
      "Москва", "ЁЂЃЄЅІЇЈЉЊЋЌЍЎЏ", "ѐёђѓ", "Ӂӂ", "Աբգ", "ḀẞỸỹ", "ἀἁᾼῼ", "ⅠⅫⅰⅻ", "ⒶⓏⓐⓩ",
      "ＡＺａｚ０", "ｱｲｳﾊ", "日本語", "中文数据库", "한국어", "עברית", "العربية", "हिन्दी",
      "ไทย", "€£¥©®", "x\u00a0y", "\u3000", "\ufeff", "\uffff", "\u0080", "my-db",
      "with space", " leading", "dot.name", "a.b.c", ".", "..", "-", "--", "@", "@@", "#", "##",
      "#mysql50", "#MYSQL50#q", "a@002db", "mixed-Name_1.Ä ö", "Δ-1", "日本-db.x",
      "db#P#p0", "x.frm", "con", "Con", "AUX", "nul", "PRN", "COM1", "com9", "LPT5", "lPt1",
      "COM0", "LPT0", "COM10", "CON1", "CLOCK$", "CON.txt", "conx", "_"};
  // Every ASCII character that is not a letter, digit or underscore: alone,
  // and between letters (a name may not end with white space).
  for (int c = 1; c < 0x80; ++c) {
    const char ch = static_cast<char>(c);
    const bool plain = (ch >= '0' && ch <= '9') || (ch >= 'A' && ch <= 'Z') ||
                       (ch >= 'a' && ch <= 'z') || ch == '_';
    if (plain) continue;
    if (ch != ' ' && !(ch >= '\t' && ch <= '\r')) names.push_back(std::string(1, ch));
    names.push_back("p" + std::string(1, ch) + "q");
  }
  std::vector<std::string> unique;
  std::set<std::string> seen;
  for (const auto& n : names) {
    if (seen.insert(n).second) unique.push_back(n);
  }
  return unique;
}

class HexNameServer : public ::testing::Test {
 protected:
  void SetUp() override {
    const xbtest::Sandbox sandbox = xbtest::GetSandbox();
    if (!sandbox.available()) GTEST_SKIP() << "no sandbox server (XB_SANDBOX_DIR)";
    cnf_ = sandbox.cnf;
    datadir_ = sandbox.datadir;
  }

  // Runs SQL through the command-line client; with force, carries on after
  // errors (collected in err; the exit status is then 0).
  SqlResult Sql(const std::string& sql, bool force = false) const {
    char tmpl[] = "/tmp/xbhexsql.XXXXXX";
    const int fd = ::mkstemp(tmpl);
    SqlResult r;
    if (fd < 0) return r;
    ::close(fd);
    const std::string in = tmpl;
    const std::string errFile = in + ".err";
    {
      std::ofstream f(in, std::ios::binary);
      f << "SET sql_log_bin=0;\n" << sql;
    }
    const std::string cmd = "mariadb --defaults-file=" + ShellQuote(cnf_) +
                            " -N -B --default-character-set=utf8mb4" +
                            (force ? " --force" : "") + " <" + ShellQuote(in) + " 2>" +
                            ShellQuote(errFile);
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
      char buf[65536];
      std::size_t n;
      while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
      const int st = ::pclose(p);
      r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }
    r.err = Slurp(errFile);
    std::remove(in.c_str());
    std::remove(errFile.c_str());
    return r;
  }

  void DropDatabases(const std::vector<std::string>& names) const {
    std::string sql;
    for (const auto& n : names) sql += DropDatabase(n);
    const SqlResult r = Sql(sql, true);
    EXPECT_EQ(r.err, "");
  }

  std::string cnf_;
  std::string datadir_;
};

TEST_F(HexNameServer, DatabaseDirectoriesMatchTheEncoder) {
  const std::vector<std::string> names = SampleNames();
  DropDatabases(names);
  const std::set<std::string> before = ListDir(datadir_);

  std::string sql;
  for (const auto& n : names) sql += CreateDatabase(n);
  const SqlResult r = Sql(sql, true);
  EXPECT_EQ(r.err, "");

  const std::set<std::string> after = ListDir(datadir_);
  std::set<std::string> expected;
  for (const auto& n : names) {
    const std::string enc = Hex(n);
    expected.insert(enc);
    EXPECT_TRUE(after.count(enc)) << "name [" << n << "]: no directory " << enc;
  }
  std::set<std::string> created;
  for (const auto& d : after) {
    if (!before.count(d)) created.insert(d);
  }
  for (const auto& d : created) EXPECT_TRUE(expected.count(d)) << "unexpected directory " << d;
  EXPECT_EQ(created.size(), names.size());

  DropDatabases(names);
}

TEST_F(HexNameServer, TableFilesMatchTheEncoder) {
  const std::vector<std::string> names = SampleNames();
  ASSERT_EQ(Sql(std::string("DROP DATABASE IF EXISTS ") + kTableDb + "; CREATE DATABASE " +
                kTableDb + ";\n").status,
            0);
  std::string sql;
  for (const auto& n : names) sql += CreateTable(kTableDb, n);
  const SqlResult r = Sql(sql, true);
  EXPECT_EQ(r.err, "");

  const std::set<std::string> files = ListDir(datadir_ + "/" + kTableDb);
  std::set<std::string> expected = {"db.opt"};
  for (const auto& n : names) {
    const std::string enc = Hex(n);
    EXPECT_TRUE(files.count(enc + ".frm")) << "table [" << n << "]: no file " << enc << ".frm";
    EXPECT_TRUE(files.count(enc + ".ibd")) << "table [" << n << "]: no file " << enc << ".ibd";
    expected.insert(enc + ".frm");
    expected.insert(enc + ".ibd");
  }
  for (const auto& f : files) EXPECT_TRUE(expected.count(f)) << "unexpected file " << f;

  EXPECT_EQ(Sql(std::string("DROP DATABASE ") + kTableDb + ";\n").status, 0);
}

TEST_F(HexNameServer, PartitionFilesUseTheEncodedNames) {
  ASSERT_EQ(Sql(std::string("DROP DATABASE IF EXISTS ") + kTableDb + "; CREATE DATABASE " +
                kTableDb + ";\n"
                "CREATE TABLE " + kTableDb + ".`tä-1` (a INT) PARTITION BY RANGE (a) ("
                "PARTITION `p-ö` VALUES LESS THAN (5), PARTITION con VALUES LESS THAN MAXVALUE);\n")
                .status,
            0);
  const std::set<std::string> files = ListDir(datadir_ + "/" + kTableDb);
  const std::string t = Hex("tä-1");
  EXPECT_TRUE(files.count(t + ".frm"));
  EXPECT_TRUE(files.count(t + "#P#" + Hex("p-ö") + ".ibd"));
  EXPECT_TRUE(files.count(t + "#P#" + Hex("con") + ".ibd"));
  EXPECT_EQ(Sql(std::string("DROP DATABASE ") + kTableDb + ";\n").status, 0);
}

// Every BMP code point but NUL and the surrogates, 48 to a database name (a
// file name holds 255 bytes; each character may take five).
TEST_F(HexNameServer, EveryBmpCodePointMatchesCreateDatabase) {
  std::vector<std::string> names;
  std::string name;
  int count = 0;
  for (char32_t cp = 1; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    name += Utf8(cp);
    if (++count == 48) {
      if (name.back() == ' ') name += 'x';
      names.push_back(name);
      name.clear();
      count = 0;
    }
  }
  if (!name.empty()) names.push_back(name);

  const std::set<std::string> before = ListDir(datadir_);
  std::string sql;
  for (const auto& n : names) sql += CreateDatabase(n);
  const SqlResult r = Sql(sql, true);
  EXPECT_EQ(r.err.substr(0, 2000), "");
  const std::set<std::string> after = ListDir(datadir_);

  std::set<std::string> created;
  for (const auto& d : after) {
    if (!before.count(d)) created.insert(d);
  }
  std::set<std::string> expected;
  int mismatches = 0;
  for (const auto& n : names) {
    const std::string enc = Hex(n);
    expected.insert(enc);
    if (!created.count(enc) && ++mismatches <= 5) {
      ADD_FAILURE() << "no directory " << enc;
    }
  }
  for (const auto& d : created) {
    if (!expected.count(d) && ++mismatches <= 10) ADD_FAILURE() << "unexpected directory " << d;
  }
  EXPECT_EQ(mismatches, 0);
  EXPECT_EQ(created.size(), names.size());

  DropDatabases(names);
}

// The SQL route, CONVERT(... USING filename), for every BMP code point.
TEST_F(HexNameServer, SqlRouteAgreesForEveryCodePoint) {
  std::vector<char32_t> cps;
  for (char32_t cp = 1; cp < 0x10000; ++cp) {
    if (cp < 0xD800 || cp > 0xDFFF) cps.push_back(cp);
  }
  // Beyond the basic plane the server refuses names, and the encoder keeps
  // such characters from aliasing basic-plane names instead of following the
  // SQL route there.

  const std::size_t batch = 4096;
  std::string sql;
  for (std::size_t i = 0; i < cps.size(); i += batch) {
    sql += "SELECT ";
    for (std::size_t k = i; k < cps.size() && k < i + batch; ++k) {
      if (k != i) sql += ',';
      sql += "HEX(CAST(CONVERT(_utf8mb4 X'" + HexBytes(Utf8(cps[k])) +
             "' USING filename) AS BINARY))";
    }
    sql += ";\n";
  }
  const SqlResult r = Sql(sql);
  ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);

  std::vector<std::string> values;
  std::string field;
  for (char c : r.out) {
    if (c == '\t' || c == '\n') {
      values.push_back(field);
      field.clear();
    } else {
      field += c;
    }
  }
  ASSERT_EQ(values.size(), cps.size());
  int mismatches = 0;
  for (std::size_t k = 0; k < cps.size(); ++k) {
    std::string server;
    for (std::size_t j = 0; j + 1 < values[k].size(); j += 2) {
      server += static_cast<char>(std::stoi(values[k].substr(j, 2), nullptr, 16));
    }
    const std::string ours = Hex(Utf8(cps[k]));
    if (server != ours && ++mismatches <= 10) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(cps[k]) << ": server " << server
                    << ", encoder " << ours;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST_F(HexNameServer, DeviceNamesInAnyLetterCase) {
  std::vector<std::string> names;
  for (const char* base : {"con", "prn", "aux", "nul", "com1", "com5", "com9", "lpt1", "lpt9"}) {
    const std::string b = base;
    // All spellings in upper and lower case.
    for (unsigned mask = 0; mask < (1u << b.size()); ++mask) {
      std::string v = b;
      for (std::size_t i = 0; i < v.size(); ++i) {
        if ((mask >> i) & 1u && v[i] >= 'a' && v[i] <= 'z') v[i] = static_cast<char>(v[i] - 32);
      }
      names.push_back(v);
    }
  }
  std::set<std::string> unique(names.begin(), names.end());
  names.assign(unique.begin(), unique.end());
  DropDatabases(names);
  std::string sql;
  for (const auto& n : names) sql += CreateDatabase(n);
  const SqlResult r = Sql(sql, true);
  EXPECT_EQ(r.err, "");
  const std::set<std::string> after = ListDir(datadir_);
  for (const auto& n : names) {
    EXPECT_EQ(Hex(n), n + "@@@");
    EXPECT_TRUE(after.count(n + "@@@")) << n;
  }
  DropDatabases(names);
}

TEST_F(HexNameServer, ServerRefusesSomeNames) {
  // Names the server will not create, so no encoding can be checked against
  // a directory: characters beyond the BMP, and the "#mysql50#" prefix.
  const std::set<std::string> before = ListDir(datadir_);
  // Nor names that end with white space.
  const std::vector<std::string> refused = {"a\U0001F600b", "\U00010000", "#mysql50#a-b",
                                            "#mysql50#x y", "#mysql50#abc", "a ", "\t",
                                            "a\n", " "};
  for (const auto& n : refused) {
    const SqlResult r = Sql(CreateDatabase(n));
    EXPECT_NE(r.status, 0) << "server accepted [" << n << "]";
    EXPECT_FALSE(r.err.empty());
  }
  EXPECT_EQ(ListDir(datadir_), before);
}

}  // namespace
