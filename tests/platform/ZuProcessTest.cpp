// ZuProcess::system: running a shell command and capturing its output.

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "platform/GrandchildBound.h"

#include <ZuLib/ZuProcess.h>

namespace {

bool HasSuffix(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(ZuProcessCapture, StdoutAndStderrSeparately) {
  std::string out, err;
  EXPECT_EQ(ZuProcess::system("echo out; echo err >&2; echo out2", &out, &err, 0, false), 0);
  EXPECT_EQ(out, "out\nout2\n");
  EXPECT_EQ(err, "err\n");
}

TEST(ZuProcessCapture, AppendsToWhatTheStringsHold) {
  std::string out = "before:", err = "e:";
  EXPECT_EQ(ZuProcess::system("echo a; echo b >&2", &out, &err, 0, false), 0);
  EXPECT_EQ(out, "before:a\n");
  EXPECT_EQ(err, "e:b\n");
}

TEST(ZuProcessCapture, NullSinksDiscard) {
  EXPECT_EQ(ZuProcess::system("seq 1 100000; seq 1 100000 >&2", nullptr, nullptr, 0, false), 0);
  std::string err;
  EXPECT_EQ(ZuProcess::system("echo out; echo err >&2", nullptr, &err, 0, false), 0);
  EXPECT_EQ(err, "err\n");
}

TEST(ZuProcessCapture, KeepsTheLastMebibyteOfEachStream) {
  std::string out, err;
  EXPECT_EQ(ZuProcess::system("seq 1 400000; seq 1 400000 >&2; echo 'the reason' >&2; exit 1",
                              &out, &err, 0, false),
            1);
  std::string expected;
  for (int i = 1; i <= 400000; ++i) expected += std::to_string(i) + "\n";
  ASSERT_EQ(out.size(), 1024u * 1024u);
  EXPECT_TRUE(out == expected.substr(expected.size() - out.size()));
  ASSERT_EQ(err.size(), 1024u * 1024u);
  EXPECT_TRUE(HasSuffix(err, "399999\n400000\nthe reason\n"));
}

TEST(ZuProcessCapture, TenMegabytesOnBothStreamsAtOnce) {
  std::string out, err;
  EXPECT_EQ(ZuProcess::system("head -c 10000000 /dev/zero >&2 & head -c 10000000 /dev/zero; wait",
                              &out, &err, 0, false),
            0);
  EXPECT_EQ(out.size(), 1024u * 1024u);
  EXPECT_EQ(err.size(), 1024u * 1024u);
}

TEST(ZuProcessStatus, ExitStatusSignalAndMissingCommand) {
  std::string out, err;
  EXPECT_EQ(ZuProcess::system("exit 5", &out, &err, 0, false), 5);
  EXPECT_EQ(ZuProcess::system("kill -9 $$", &out, &err, 0, false), 128 + SIGKILL);
  EXPECT_EQ(ZuProcess::system("kill -15 $$", &out, &err, 0, false), 128 + SIGTERM);
  err.clear();
  EXPECT_EQ(ZuProcess::system("no-such-command-for-zuprocess", &out, &err, 0, false), 127);
  EXPECT_NE(err.find("not found"), std::string::npos) << err;
}

TEST(ZuProcessStatus, RejectsBadArguments) {
  std::string out;
  EXPECT_EQ(ZuProcess::system(nullptr, &out, nullptr, 0, false), -1);
  EXPECT_EQ(ZuProcess::system("", &out, nullptr, 0, false), -1);
  EXPECT_EQ(ZuProcess::system("true", &out, nullptr, 1, false), -1);
  EXPECT_EQ(ZuProcess::system("true", &out, nullptr, 0, true), -1);
}

TEST(ZuProcessStatus, HostIgnoringSigchldGetsTheTrueStatus) {
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &old), 0);
  std::string out;
  const int success = ZuProcess::system("echo hi; exit 0", &out, nullptr, 0, false);
  const int failure = ZuProcess::system("exit 6", nullptr, nullptr, 0, false);
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(success, 0);
  EXPECT_EQ(failure, 6);
  EXPECT_EQ(out, "hi\n");
}

TEST(ZuProcessChild, StdinIsDevNullAndNoDescriptorLeaks) {
  const int leaked = open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(leaked, 0);
  std::string out;
  EXPECT_EQ(ZuProcess::system("cat; readlink /proc/self/fd/0; ls /proc/self/fd", &out, nullptr, 0,
                              false),
            0);
  close(leaked);
  std::istringstream in(out);
  std::string first;
  std::getline(in, first);
  EXPECT_EQ(first, "/dev/null");
  std::set<std::string> fds;
  std::string line;
  while (std::getline(in, line)) fds.insert(line);
  EXPECT_EQ(fds, (std::set<std::string>{"0", "1", "2", "3"})) << out;
}

TEST(ZuProcessChild, ReturnsWhileGrandchildHoldsThePipes) {
  // The grandchild is killed after 5 s at the latest, so a regression fails
  // at once instead of passing when the grandchild ends.
  ScopedGrandchildBound bound(5);
  std::string out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(ZuProcess::system(("sleep 30 & echo $! >" + bound.PidFile() + "; echo $!").c_str(), &out,
                              nullptr, 0, false),
            0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  const int grandchild = std::atoi(out.c_str());
  ASSERT_GT(grandchild, 0);
  kill(grandchild, SIGKILL);
}

}  // namespace
