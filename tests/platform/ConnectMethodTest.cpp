// GetMySqlInfo::GetConnectMethod: connection options for the backup tool's
// command line, safe to hand to a shell.

#include <cstdio>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <MySqlCommon/GetMySqlInfo.h>

namespace {

std::string Connect(const std::string& info) { return GetMySqlInfo::GetConnectMethod(info); }

// The words a POSIX shell makes of `text` (no NUL bytes).
std::vector<std::string> ShellWords(const std::string& text) {
  const std::string command = "printf '%s\\0' " + text;
  std::vector<std::string> words;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return words;
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, pipe)) > 0) out.append(buf, n);
  const int status = ::pclose(pipe);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
  std::size_t start = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    if (out[i] == '\0') {
      words.push_back(out.substr(start, i - start));
      start = i + 1;
    }
  }
  return words;
}

bool IsOrdinary(unsigned char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
         std::string("/._+,:@%-").find(static_cast<char>(c)) != std::string::npos;
}

TEST(ConnectMethod, EmptyGivesNoOptions) {
  EXPECT_EQ(Connect(""), "");
  EXPECT_EQ(Connect("   "), "");
  EXPECT_EQ(Connect("\n"), "");
}

TEST(ConnectMethod, SocketPath) {
  EXPECT_EQ(Connect("/var/run/mysqld/mysqld.sock"), "--socket=/var/run/mysqld/mysqld.sock");
  EXPECT_EQ(Connect("/tmp/xbsb-1/mysql.sock"), "--socket=/tmp/xbsb-1/mysql.sock");
  EXPECT_EQ(Connect("socket=/tmp/x.sock"), "--socket=/tmp/x.sock");
  EXPECT_EQ(Connect("socket=relative/x.sock"), "--socket=relative/x.sock");
  EXPECT_EQ(Connect("/tmp/my sock"), "--socket='/tmp/my sock'");
  EXPECT_EQ(Connect("socket=/tmp/a'b"), "--socket='/tmp/a'\\''b'");
  // A colon in a socket path does not make it a host and port.
  EXPECT_EQ(Connect("/tmp/a:3306"), "--socket=/tmp/a:3306");
  EXPECT_EQ(Connect("/run/mysqld/mysqld.sock\n"), "--socket=/run/mysqld/mysqld.sock");
  EXPECT_EQ(Connect("socket="), "");
}

TEST(ConnectMethod, HostAndPort) {
  EXPECT_EQ(Connect("localhost"), "--host=localhost");
  EXPECT_EQ(Connect("db.example.com"), "--host=db.example.com");
  EXPECT_EQ(Connect("db.example.com:3307"), "--host=db.example.com --port=3307");
  EXPECT_EQ(Connect("10.0.0.5:3306"), "--host=10.0.0.5 --port=3306");
  EXPECT_EQ(Connect(" 10.0.0.5:3306 "), "--host=10.0.0.5 --port=3306");
  EXPECT_EQ(Connect("host:"), "--host=host");
  EXPECT_EQ(Connect(":3306"), "--port=3306");
}

TEST(ConnectMethod, Ipv6) {
  EXPECT_EQ(Connect("[::1]:3306"), "--host=::1 --port=3306");
  EXPECT_EQ(Connect("[::1]"), "--host=::1");
  EXPECT_EQ(Connect("[fe80::1%eth0]:3307"), "--host=fe80::1%eth0 --port=3307");
  EXPECT_EQ(Connect("[2001:db8::7]"), "--host=2001:db8::7");
  // A bare address has no port.
  EXPECT_EQ(Connect("::1"), "--host=::1");
  EXPECT_EQ(Connect("2001:db8::7"), "--host=2001:db8::7");
}

TEST(ConnectMethod, ShellSpecialValuesAreQuoted) {
  EXPECT_EQ(Connect("host;rm -rf /"), "--host='host;rm -rf /'");
  EXPECT_EQ(Connect("$(id)"), "--host='$(id)'");
  EXPECT_EQ(Connect("`id`:33"), "--host='`id`' --port=33");
  EXPECT_EQ(Connect("h:3306;reboot"), "--host=h --port='3306;reboot'");
  EXPECT_EQ(Connect("a b"), "--host='a b'");
  EXPECT_EQ(Connect("it's"), "--host='it'\\''s'");
  EXPECT_EQ(Connect("/tmp/$HOME/*.sock"), "--socket='/tmp/$HOME/*.sock'");
  EXPECT_EQ(Connect("[::1]:33 06"), "--host=::1 --port='33 06'");
}

TEST(ConnectMethod, OrdinaryCharactersAreLeftAlone) {
  const std::string ordinary =
      "/abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+,:@%-";
  EXPECT_EQ(Connect(ordinary), "--socket=" + ordinary);
  for (int c = 1; c < 256; ++c) {
    const std::string value = "/x" + std::string(1, static_cast<char>(c)) + "y";
    const std::string out = Connect(value);
    if (IsOrdinary(static_cast<unsigned char>(c))) {
      EXPECT_EQ(out, "--socket=" + value) << "char " << c;
    } else if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != '\f' && c != '\v') {
      EXPECT_EQ(out, "--socket='" + (c == '\'' ? std::string("/x'\\''y") : value) + "'")
          << "char " << c;
    }
  }
}

TEST(ConnectMethod, ShellReadsBackTheExactValues) {
  // Every byte but NUL, alone and in random mixtures, survives the shell.
  std::vector<std::pair<std::string, std::vector<std::string>>> cases;
  for (int c = 1; c < 256; ++c) {
    const std::string v = "/s" + std::string(1, static_cast<char>(c)) + "k";
    cases.push_back({v, {"--socket=" + v}});
  }
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> byte(1, 255);
  std::uniform_int_distribution<int> len(1, 16);
  for (int i = 0; i < 60; ++i) {
    std::string host, port;
    for (int k = len(rng); k > 0; --k) {
      char ch;
      do ch = static_cast<char>(byte(rng)); while (ch == ':' || ch == '[' || ch == ']');
      host += ch;
    }
    for (int k = len(rng); k > 0; --k) {
      char ch;
      do ch = static_cast<char>(byte(rng)); while (ch == ':');
      port += ch;
    }
    // Keep clear of surrounding white space, which is trimmed.
    host = "h" + host;
    port += "9";
    cases.push_back({host + ":" + port, {"--host=" + host, "--port=" + port}});
    cases.push_back({"[" + host + "]:" + port, {"--host=" + host, "--port=" + port}});
  }
  // One shell per batch keeps this fast.
  std::string command;
  std::vector<std::string> expected;
  for (const auto& [info, words] : cases) {
    const std::string opts = Connect(info);
    command += opts + " ";
    expected.insert(expected.end(), words.begin(), words.end());
  }
  EXPECT_EQ(ShellWords(command), expected);
}

}  // namespace
