// The child process object: launching, pipes, standard error retention,
// signals, descriptors and reaping, against real /bin/sh children.

#include <errno.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stddef.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <zuMySqlChildProcess/MySqlChildProcess.h>

#include "platform/GrandchildBound.h"
#include "seam/Seam.h"

namespace {

using LibMySqlProcess::MySqlChildProcess;

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class ScratchDir {
 public:
  ScratchDir() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/childproc-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) != nullptr) path_ = buf.data();
  }
  ~ScratchDir() {
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void SleepMs(long ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

// Whether /proc still lists pid (a zombie is still listed).
bool ProcessListed(int pid) { return access(("/proc/" + std::to_string(pid)).c_str(), F_OK) == 0; }

// The state letter of pid from /proc/<pid>/stat ('Z' for a zombie), 0 if gone.
char ProcessState(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos || close + 2 >= text.size()) return 0;
  return text[close + 2];
}

// Polls until pid is no longer listed; false after `seconds`.
bool BecomesUnlisted(int pid, int seconds) {
  for (int i = 0; i < seconds * 20; ++i) {
    if (!ProcessListed(pid)) return true;
    SleepMs(50);
  }
  return !ProcessListed(pid);
}

std::string ReadAllOut(MySqlChildProcess& p, long bufSize = 65536) {
  std::string all;
  std::vector<char> buf(static_cast<size_t>(bufSize));
  for (;;) {
    long len = bufSize;
    if (p.ReadBuf(buf.data(), &len) != 0) {
      ADD_FAILURE() << "ReadBuf failed, errno " << p.GetLastErrNo();
      break;
    }
    if (len == 0) break;
    all.append(buf.data(), static_cast<size_t>(len));
  }
  return all;
}

std::string ReadErr(MySqlChildProcess& p, long bufSize = 4 * 1024 * 1024) {
  std::vector<char> buf(static_cast<size_t>(bufSize));
  long len = bufSize;
  if (p.ReadErrBuf(buf.data(), &len) != 0) return "<errno " + std::to_string(p.GetLastErrNo()) + ">";
  return std::string(buf.data(), static_cast<size_t>(len));
}

// Starts `command` with pipes (stdin a pipe, stderr separate).
void Start(MySqlChildProcess& p, const std::string& command, bool newGroup = false) {
  ASSERT_EQ(p.Initialize(command, "", ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(true, false, false, newGroup), 0) << p.GetLastErrNo();
}

std::string SeqOutput(long from, long to) {
  std::string s;
  for (long i = from; i <= to; ++i) s += std::to_string(i) + "\n";
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// ---------------------------------------------------------------------------
// The object's life cycle and argument checks.

TEST(ChildProcessLifecycle, RejectsEmptyCommandAndMalformedEnvironment) {
  MySqlChildProcess p;
  EXPECT_NE(p.Initialize("", "", ""), 0);
  EXPECT_EQ(p.GetLastErrNo(), EINVAL);
  EXPECT_NE(p.Initialize("true", "", "NOEQUALS"), 0);
  EXPECT_EQ(p.GetLastErrNo(), EINVAL);
  EXPECT_NE(p.Initialize("true", "", "=value"), 0);
  EXPECT_EQ(p.GetLastErrNo(), EINVAL);
}

TEST(ChildProcessLifecycle, CallsWithoutAChildFail) {
  MySqlChildProcess p;
  EXPECT_NE(p.ZU_CreateProcess(true, false, false, false), 0);
  char buf[16];
  long len = sizeof(buf);
  EXPECT_NE(p.ReadBuf(buf, &len), 0);
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  EXPECT_NE(p.WriteBuf("x", 1), 0);
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  EXPECT_EQ(p.CloseInput(), 0);
  EXPECT_EQ(p.GetPid(), -1);
  EXPECT_EQ(p.GetWaitStatus(), -1);
  EXPECT_NE(p.Wait(0), 0);
}

TEST(ChildProcessLifecycle, BusyUntilWaitedThenReusable) {
  MySqlChildProcess p;
  Start(p, "exec cat");
  EXPECT_GT(p.GetPid(), 0);
  EXPECT_NE(p.Initialize("true", "", ""), 0);
  EXPECT_EQ(p.GetLastErrNo(), EBUSY);
  EXPECT_NE(p.ZU_CreateProcess(true, false, false, false), 0);
  EXPECT_EQ(p.GetLastErrNo(), EBUSY);
  EXPECT_EQ(p.Wait(0), 0);  // closes stdin, cat ends
  EXPECT_EQ(p.GetPid(), -1);

  ASSERT_EQ(p.Initialize("echo second; exit 4", "", ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(true, false, false, false), 0);
  EXPECT_EQ(ReadAllOut(p), "second\n");
  EXPECT_EQ(p.Wait(0), 4);
}

TEST(ChildProcessLifecycle, BadWorkDirFailsToStartAndLeavesObjectUsable) {
  MySqlChildProcess p;
  ASSERT_EQ(p.Initialize("true", "/nonexistent/dir/for/child", ""), 0);
  EXPECT_NE(p.ZU_CreateProcess(true, false, false, false), 0);
  EXPECT_EQ(p.GetLastErrNo(), ENOENT);
  EXPECT_EQ(p.GetPid(), -1);
  ASSERT_EQ(p.Initialize("exit 2", "", ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(true, false, false, false), 0);
  EXPECT_EQ(p.Wait(0), 2);
}

// ---------------------------------------------------------------------------
// Exit status reporting.

TEST(ChildProcessExitStatus, ReportsExitCodes) {
  for (int code : {0, 1, 7, 127, 255}) {
    MySqlChildProcess p;
    Start(p, "exit " + std::to_string(code));
    EXPECT_EQ(p.Wait(0), code);
    ASSERT_NE(p.GetWaitStatus(), -1);
    EXPECT_TRUE(WIFEXITED(p.GetWaitStatus()));
    EXPECT_EQ(WEXITSTATUS(p.GetWaitStatus()), code);
  }
}

TEST(ChildProcessExitStatus, DeathBySignalIs128PlusSignal) {
  for (int sig : {SIGTERM, SIGKILL, SIGSEGV}) {
    MySqlChildProcess p;
    Start(p, "kill -" + std::to_string(sig) + " $$; sleep 5");
    EXPECT_EQ(p.Wait(0), 128 + sig);
    EXPECT_TRUE(WIFSIGNALED(p.GetWaitStatus()));
    EXPECT_EQ(WTERMSIG(p.GetWaitStatus()), sig);
  }
}

TEST(ChildProcessExitStatus, WaitAgainReturnsTheSameStatus) {
  MySqlChildProcess p;
  Start(p, "exit 9");
  EXPECT_EQ(p.Wait(0), 9);
  EXPECT_EQ(p.Wait(0), 9);
}

TEST(ChildProcessExitStatus, TimeoutLeavesChildRunningAndWaitable) {
  MySqlChildProcess p;
  Start(p, "exec sleep 60", true);
  const int pid = p.GetPid();
  ASSERT_GT(pid, 0);
  EXPECT_NE(p.Wait(1), 0);
  EXPECT_EQ(p.GetLastErrNo(), ETIMEDOUT);
  EXPECT_EQ(p.GetPid(), pid);
  EXPECT_NE(ProcessState(pid), 'Z');
  ASSERT_EQ(kill(pid, SIGKILL), 0);
  EXPECT_EQ(p.Wait(0), 128 + SIGKILL);
  EXPECT_FALSE(ProcessListed(pid));
}

// ---------------------------------------------------------------------------
// Standard output and input.

TEST(ChildProcessOutput, ReadBufReturnsOutputThenStaysEnded) {
  MySqlChildProcess p;
  Start(p, "echo hello");
  EXPECT_EQ(ReadAllOut(p), "hello\n");
  char buf[8];
  long len = sizeof(buf);
  EXPECT_EQ(p.ReadBuf(buf, &len), 0);
  EXPECT_EQ(len, 0);
  EXPECT_EQ(p.Wait(0), 0);
  len = sizeof(buf);
  EXPECT_EQ(p.ReadBuf(buf, &len), 0);
  EXPECT_EQ(len, 0);
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ChildProcessOutput, GivenDescriptorTakesStdoutWhileStdinAndStderrStayPipes) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path() + "/out";
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  MySqlChildProcess p;
  ASSERT_EQ(p.SetStdoutDescriptor(fd), 0);
  Start(p, "printf first; printf oops >&2; cat");
  // For the next start only: the running child keeps the file.
  ASSERT_EQ(p.SetStdoutDescriptor(-1), 0);
  ASSERT_EQ(p.WriteBuf("-second", 7), 0);
  EXPECT_EQ(p.CloseInput(), 0);
  EXPECT_EQ(p.Wait(10), 0);
  char buf[16];
  long len = sizeof(buf);
  EXPECT_EQ(p.ReadBuf(buf, &len), 0);  // the output went to the file, not to us
  EXPECT_EQ(len, 0);
  EXPECT_EQ(ReadErr(p), "oops");
  EXPECT_EQ(FileText(path), "first-second");
  EXPECT_NE(fcntl(fd, F_GETFD), -1);  // the host's descriptor stays open
  // A pipe again for the next child.
  Start(p, "printf piped");
  EXPECT_EQ(ReadAllOut(p), "piped");
  EXPECT_EQ(p.Wait(10), 0);
  EXPECT_EQ(FileText(path), "first-second");
  close(fd);
}

TEST(ChildProcessOutput, GivenStdinIsReadFromItsOffsetAndMovesIt) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path() + "/in";
  {
    std::ofstream(path, std::ios::binary) << "skip-these-bytes";
  }
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(lseek(fd, 5, SEEK_SET), 5);
  MySqlChildProcess p;
  ASSERT_EQ(p.SetStdinDescriptor(fd), 0);
  Start(p, "cat");
  ASSERT_EQ(p.SetStdinDescriptor(-1), 0);
  EXPECT_EQ(p.WriteBuf("x", 1), -1);  // no pipe to write to
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  EXPECT_EQ(ReadAllOut(p), "these-bytes");
  EXPECT_EQ(p.Wait(10), 0);
  EXPECT_EQ(lseek(fd, 0, SEEK_CUR), 16);  // how far the child read
  EXPECT_EQ(p.SetStdinDescriptor(-7), -1);
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  // A pipe again for the next child.
  Start(p, "cat");
  EXPECT_EQ(p.WriteBuf("piped", 5), 0);
  EXPECT_EQ(p.CloseInput(), 0);
  EXPECT_EQ(ReadAllOut(p), "piped");
  EXPECT_EQ(p.Wait(10), 0);
  close(fd);
}

TEST(ChildProcessOutput, GivenDescriptorOnALowNumberReachesTheChild) {
  // A host that has its own standard input closed may get a file as
  // descriptor 0: the child's stdin pipe must not replace it.
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string path = dir.path() + "/out";
  const int saved = dup(0);
  ASSERT_GE(saved, 0);
  close(0);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  MySqlChildProcess p;
  const int set = p.SetStdoutDescriptor(fd);
  int started = -1;
  if (set == 0 && p.Initialize("printf low", "", "") == 0)
    started = p.ZU_CreateProcess(true, false, false, false);
  const int status = started == 0 ? p.Wait(10) : -2;
  close(fd);
  dup2(saved, 0);
  close(saved);
  EXPECT_EQ(fd, 0);
  EXPECT_EQ(set, 0);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(FileText(path), "low");
}

TEST(ChildProcessOutput, GivenDescriptorMustBeOpen) {
  MySqlChildProcess p;
  const int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(p.SetStdoutDescriptor(fd), -1);
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  EXPECT_EQ(p.SetStdoutDescriptor(-7), -1);
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  Start(p, "printf still-a-pipe");
  EXPECT_EQ(ReadAllOut(p), "still-a-pipe");
  EXPECT_EQ(p.Wait(10), 0);
}

TEST(ChildProcessOutput, FiftyMegabytesThroughSmallBufferAreByteExact) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  const size_t size = 50u * 1000 * 1000;
  std::string data(size, '\0');
  uint64_t x = 0x9E3779B97F4A7C15ull;
  for (size_t i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data[i] = static_cast<char>(x >> 56);
  }
  const std::string file = dir.path() + "/data.bin";
  {
    std::ofstream out(file, std::ios::binary);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    ASSERT_TRUE(out.good());
  }
  MySqlChildProcess p;
  Start(p, "cat '" + file + "'");
  uint64_t hashSent = 1469598103934665603ull, hashGot = 1469598103934665603ull;
  for (unsigned char c : data) hashSent = (hashSent ^ c) * 1099511628211ull;
  size_t got = 0;
  size_t firstMismatch = std::string::npos;
  char buf[1023];
  for (;;) {
    long len = sizeof(buf);
    ASSERT_EQ(p.ReadBuf(buf, &len), 0);
    if (len == 0) break;
    for (long i = 0; i < len; ++i) {
      const unsigned char c = static_cast<unsigned char>(buf[i]);
      hashGot = (hashGot ^ c) * 1099511628211ull;
      if (firstMismatch == std::string::npos && (got + i >= size || data[got + i] != buf[i]))
        firstMismatch = got + i;
    }
    got += static_cast<size_t>(len);
  }
  EXPECT_EQ(got, size);
  EXPECT_EQ(firstMismatch, std::string::npos);
  EXPECT_EQ(hashGot, hashSent);
  EXPECT_EQ(p.Wait(0), 0);
}

TEST(ChildProcessOutput, WaitAloneDrainsTenMegabytesOfEachStream) {
  MySqlChildProcess p;
  const long last = 1400000;  // about 10 MB of text
  Start(p, "seq 1 " + std::to_string(last) + "; head -c 10000000 /dev/zero | tr '\\0' e >&2; " +
               "echo 'the end' >&2");
  EXPECT_EQ(p.Wait(0), 0);
  // Only the most recent kOutRetainBytes of stdout are kept, contiguous.
  const std::string expected = SeqOutput(1, last);
  const std::string kept = ReadAllOut(p);
  ASSERT_EQ(kept.size(), static_cast<size_t>(MySqlChildProcess::kOutRetainBytes));
  EXPECT_TRUE(kept == expected.substr(expected.size() - kept.size()));
  // Standard error keeps its most recent kErrRetainBytes.
  const std::string err = ReadErr(p);
  ASSERT_EQ(err.size(), static_cast<size_t>(MySqlChildProcess::kErrRetainBytes));
  EXPECT_TRUE(EndsWith(err, "eeethe end\n"));
  EXPECT_EQ(p.GetDroppedErrBytes(), 10000000LL + 8 - MySqlChildProcess::kErrRetainBytes);
}

TEST(ChildProcessOutput, StderrFloodDoesNotStallStdoutReader) {
  // One process alternates 8 KiB of stderr with a line of stdout; if stderr
  // were not drained it would block after a few lines.
  MySqlChildProcess p;
  Start(p,
        "i=0; while [ $i -lt 3000 ]; do printf '%8192s' '' >&2; echo line$i; i=$((i+1)); done; "
        "echo done >&2");
  std::string expected;
  for (int i = 0; i < 3000; ++i) expected += "line" + std::to_string(i) + "\n";
  const std::string got = ReadAllOut(p, 4096);
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
  EXPECT_EQ(p.Wait(0), 0);
  EXPECT_TRUE(EndsWith(ReadErr(p), "     done\n"));
}

TEST(ChildProcessOutput, WriteBufThenReadBackThroughCat) {
  MySqlChildProcess p;
  Start(p, "exec cat");
  std::string data;
  for (int i = 0; data.size() < 500000; ++i) data += "record " + std::to_string(i) + "\n";
  ASSERT_EQ(p.WriteBuf(data.data(), static_cast<long>(data.size())), 0);
  EXPECT_EQ(p.CloseInput(), 0);
  EXPECT_EQ(p.CloseInput(), 0);
  EXPECT_TRUE(ReadAllOut(p) == data);
  EXPECT_EQ(p.Wait(0), 0);
}

TEST(ChildProcessOutput, WriteBufKeepsMostRecentOutputInOrder) {
  // The host writes 6 MB without reading: WriteBuf must drain cat's output
  // to make progress; what ReadBuf later returns is a contiguous tail.
  MySqlChildProcess p;
  Start(p, "exec cat");
  std::string data;
  for (int i = 0; data.size() < 6000000; ++i) data += std::to_string(i) + ",";
  ASSERT_EQ(p.WriteBuf(data.data(), static_cast<long>(data.size())), 0);
  EXPECT_EQ(p.Wait(0), 0);
  const std::string got = ReadAllOut(p);
  EXPECT_GE(got.size(), static_cast<size_t>(MySqlChildProcess::kOutRetainBytes));
  EXPECT_LE(got.size(), data.size());
  EXPECT_TRUE(EndsWith(data, got));
}

TEST(ChildProcessOutput, MergedStderrGoesToStdout) {
  MySqlChildProcess p;
  ASSERT_EQ(p.Initialize("echo out; echo err >&2; echo out2", "", ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(true, true, false, false), 0);
  EXPECT_EQ(ReadAllOut(p), "out\nerr\nout2\n");
  EXPECT_EQ(p.Wait(0), 0);
  EXPECT_EQ(ReadErr(p), "");
}

TEST(ChildProcessOutput, NullStdinGivesEndOfFile) {
  MySqlChildProcess p;
  ASSERT_EQ(p.Initialize("cat; readlink /proc/self/fd/0", "", ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(true, false, true, false), 0);
  EXPECT_NE(p.WriteBuf("x", 1), 0);
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  EXPECT_EQ(ReadAllOut(p), "/dev/null\n");
  EXPECT_EQ(p.Wait(0), 0);
}

TEST(ChildProcessOutput, WithoutPipesChildSharesHostStreams) {
  MySqlChildProcess p;
  ASSERT_EQ(p.Initialize("exit 3", "", ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(false, false, false, false), 0);
  char buf[4];
  long len = sizeof(buf);
  EXPECT_NE(p.ReadBuf(buf, &len), 0);
  EXPECT_EQ(p.GetLastErrNo(), EBADF);
  EXPECT_EQ(p.Wait(0), 3);
}

// ---------------------------------------------------------------------------
// Standard error retention.

TEST(ChildProcessStderr, ReadErrBufReturnsTheEndOfText) {
  MySqlChildProcess p;
  Start(p, "printf 'first line\\nsecond line\\nlast words\\n' >&2");
  EXPECT_EQ(p.Wait(0), 0);
  char buf[11];
  long len = sizeof(buf);
  ASSERT_EQ(p.ReadErrBuf(buf, &len), 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(len)), "last words\n");
  EXPECT_EQ(p.GetDroppedErrBytes(), 23);
  len = sizeof(buf);
  EXPECT_EQ(p.ReadErrBuf(buf, &len), 0);
  EXPECT_EQ(len, 0);
}

TEST(ChildProcessStderr, TailAfterAMegabyteHoldsTheLastLine) {
  MySqlChildProcess p;
  Start(p,
        "head -c 1500000 /dev/zero | tr '\\0' x >&2; echo >&2; "
        "echo 'FATAL: the reason' >&2; exit 1");
  EXPECT_EQ(p.Wait(0), 1);
  const std::string err = ReadErr(p, 65536);
  EXPECT_EQ(err.size(), 65536u);
  EXPECT_TRUE(EndsWith(err, "xxx\nFATAL: the reason\n"));
  EXPECT_GT(p.GetDroppedErrBytes(), 1000000);
}

TEST(ChildProcessStderr, ReadErrBufNeverBlocks) {
  MySqlChildProcess p;
  Start(p, "echo warning >&2; exec sleep 60", true);
  const int pid = p.GetPid();
  std::string got;
  for (int i = 0; i < 200 && got.empty(); ++i) {
    char buf[64];
    long len = sizeof(buf);
    if (p.ReadErrBuf(buf, &len) == 0) {
      got.assign(buf, static_cast<size_t>(len));
    } else {
      EXPECT_EQ(p.GetLastErrNo(), EAGAIN);
      SleepMs(50);
    }
  }
  EXPECT_EQ(got, "warning\n");
  char buf[64];
  long len = sizeof(buf);
  EXPECT_NE(p.ReadErrBuf(buf, &len), 0);  // nothing more yet, child still runs
  EXPECT_EQ(p.GetLastErrNo(), EAGAIN);
  kill(pid, SIGKILL);
  EXPECT_EQ(p.Wait(0), 128 + SIGKILL);
  len = sizeof(buf);
  EXPECT_EQ(p.ReadErrBuf(buf, &len), 0);
  EXPECT_EQ(len, 0);
}

// ---------------------------------------------------------------------------
// Signals: the host's dispositions and mask, the child's defaults.

struct SigpipeState {
  struct sigaction action;
  sigset_t mask;
  bool pending;
};

SigpipeState CaptureSigpipe() {
  SigpipeState s;
  sigaction(SIGPIPE, nullptr, &s.action);
  pthread_sigmask(SIG_SETMASK, nullptr, &s.mask);
  sigset_t pending;
  sigpending(&pending);
  s.pending = sigismember(&pending, SIGPIPE) == 1;
  return s;
}

// A child that has closed its stdin (proven by its output) and keeps running.
void WriteToClosedStdinGivesEpipe() {
  MySqlChildProcess p;
  Start(p, "exec 0<&-; echo closed; exec sleep 60", true);
  char buf[16];
  long len = sizeof(buf);
  ASSERT_EQ(p.ReadBuf(buf, &len), 0);
  ASSERT_EQ(std::string(buf, static_cast<size_t>(len)), "closed\n");
  const std::string data(100000, 'd');
  EXPECT_NE(p.WriteBuf(data.data(), static_cast<long>(data.size())), 0);
  EXPECT_EQ(p.GetLastErrNo(), EPIPE);
  kill(p.GetPid(), SIGKILL);
  EXPECT_EQ(p.Wait(0), 128 + SIGKILL);
}

TEST(ChildProcessSignals, WriteToChildThatStoppedReadingGivesEpipeNotSigpipe) {
  // SIGPIPE has its default disposition here: a leaked one kills the test.
  const SigpipeState before = CaptureSigpipe();
  ASSERT_EQ(before.action.sa_handler, SIG_DFL);
  WriteToClosedStdinGivesEpipe();
  const SigpipeState after = CaptureSigpipe();
  EXPECT_EQ(after.action.sa_handler, SIG_DFL);
  EXPECT_EQ(sigismember(&after.mask, SIGPIPE), sigismember(&before.mask, SIGPIPE));
  EXPECT_FALSE(after.pending);
}

TEST(ChildProcessSignals, WriteToChildThatExitedGivesEpipe) {
  const SigpipeState before = CaptureSigpipe();
  MySqlChildProcess p;
  Start(p, "head -c 1 >/dev/null");
  const std::string data(4 * 1024 * 1024, 'd');
  EXPECT_NE(p.WriteBuf(data.data(), static_cast<long>(data.size())), 0);
  EXPECT_EQ(p.GetLastErrNo(), EPIPE);
  EXPECT_EQ(p.Wait(0), 0);
  const SigpipeState after = CaptureSigpipe();
  EXPECT_EQ(after.action.sa_handler, before.action.sa_handler);
  EXPECT_FALSE(after.pending);
}

TEST(ChildProcessSignals, HostIgnoringSigpipeKeepsItsDisposition) {
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old), 0);
  WriteToClosedStdinGivesEpipe();
  const SigpipeState after = CaptureSigpipe();
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(after.action.sa_handler, SIG_IGN);
  EXPECT_FALSE(after.pending);
}

TEST(ChildProcessSignals, SigpipeAlreadyPendingForHostStaysPending) {
  sigset_t pipeSet, oldMask;
  sigemptyset(&pipeSet);
  sigaddset(&pipeSet, SIGPIPE);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &pipeSet, &oldMask), 0);
  ASSERT_EQ(pthread_kill(pthread_self(), SIGPIPE), 0);
  WriteToClosedStdinGivesEpipe();
  const SigpipeState after = CaptureSigpipe();
  EXPECT_TRUE(after.pending);
  EXPECT_EQ(sigismember(&after.mask, SIGPIPE), 1);
  const struct timespec zero = {0, 0};
  EXPECT_EQ(sigtimedwait(&pipeSet, nullptr, &zero), SIGPIPE);
  EXPECT_EQ(sigtimedwait(&pipeSet, nullptr, &zero), -1);  // only the host's one
  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
}

TEST(ChildProcessSignals, ChildStartsWithDefaultDispositionsAndEmptyMask) {
  struct sigaction ignore = {}, oldInt = {}, oldPipe = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGINT, &ignore, &oldInt);
  sigaction(SIGPIPE, &ignore, &oldPipe);
  sigset_t block, oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  sigaddset(&block, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &block, &oldMask);

  MySqlChildProcess p;
  Start(p, "exec grep -E '^Sig(Blk|Ign):' /proc/self/status");
  const std::string out = ReadAllOut(p);
  const int status = p.Wait(0);

  pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGPIPE, &oldPipe, nullptr);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(out, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST(ChildProcessSignals, NewProcessGroupFlag) {
  {
    MySqlChildProcess p;
    Start(p, "echo $$ $(cut -d' ' -f5 /proc/$$/stat)", true);
    std::istringstream in(ReadAllOut(p));
    long pid = 0, pgid = 0;
    in >> pid >> pgid;
    EXPECT_GT(pid, 0);
    EXPECT_EQ(pgid, pid);
    EXPECT_EQ(p.Wait(0), 0);
  }
  {
    MySqlChildProcess p;
    Start(p, "cut -d' ' -f5 /proc/$$/stat", false);
    EXPECT_EQ(ReadAllOut(p), std::to_string(getpgrp()) + "\n");
    EXPECT_EQ(p.Wait(0), 0);
  }
}

// ---------------------------------------------------------------------------
// Descriptors.

// The host's open descriptors with what they refer to, one per line.
std::string OpenDescriptors() {
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = std::filesystem::read_symlink(entry.path(), ec);
    text += entry.path().filename().string() + " " + target.string() + "\n";
  }
  return text;
}

std::set<std::string> Lines(const std::string& text) {
  std::set<std::string> lines;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) lines.insert(line);
  return lines;
}

TEST(ChildProcessDescriptors, NoHostDescriptorLeaksIntoTheChild) {
  // Descriptors the host opened without close-on-exec.
  const int nullFd = open("/dev/null", O_RDONLY);
  int pipeFds[2];
  ASSERT_EQ(pipe(pipeFds), 0);
  const int dupFd = dup(pipeFds[1]);
  ASSERT_GE(nullFd, 0);
  ASSERT_GE(dupFd, 0);

  MySqlChildProcess p;
  Start(p, "exec ls /proc/self/fd");
  const std::string out = ReadAllOut(p);
  EXPECT_EQ(p.Wait(0), 0);
  // 0, 1, 2 and the directory ls itself reads.
  EXPECT_EQ(Lines(out), (std::set<std::string>{"0", "1", "2", "3"})) << out;

  close(nullFd);
  close(pipeFds[0]);
  close(pipeFds[1]);
  close(dupFd);
}

// A seccomp filter that makes close_range fail with ENOSYS, as on a kernel
// before Linux 5.9 or under a container's filter. For this process and its
// descendants, for good: install it only in a forked child.
bool RefuseCloseRange() {
#if defined(__x86_64__)
  const unsigned arch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
  const unsigned arch = AUDIT_ARCH_AARCH64;
#else
  return false;
#endif
  struct sock_filter code[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, arch, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_close_range, 0, 1),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  struct sock_fprog filter = {static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
  return prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0 &&
         syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0 &&
         syscall(SYS_close_range, 100000, 100000, 0) == -1 && errno == ENOSYS;
}

// Without close_range, a descriptor of the host above the soft RLIMIT_NOFILE
// (which the host lowered after opening it) still does not reach the child.
TEST(ChildProcessDescriptors, NoHostDescriptorLeaksWithoutCloseRange) {
  struct rlimit limit;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  const struct {
    int fd;
    rlim_t soft;
  } cases[] = {{1000, 20}, {15000, 1024}};
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (!RefuseCloseRange()) _exit(100);
    int leaked = 0;  // a bit per case
    for (int i = 0; i < 2; ++i) {
      const auto& c = cases[i];
      if (static_cast<rlim_t>(c.fd) >= limit.rlim_max) continue;
      struct rlimit lowered = limit;
      lowered.rlim_cur = c.soft;
      if (dup2(2, c.fd) != c.fd || setrlimit(RLIMIT_NOFILE, &lowered) != 0) _exit(101);
      std::string out;
      {
        MySqlChildProcess p;
        if (p.Initialize("exec ls /proc/self/fd", "", "") != 0 ||
            p.ZU_CreateProcess(true, false, false, false) != 0)
          _exit(102);
        out = ReadAllOut(p);
        if (p.Wait(10) != 0) _exit(103);
      }
      // 0, 1, 2 and the directory ls itself reads.
      if (Lines(out) != std::set<std::string>{"0", "1", "2", "3"}) {
        fprintf(stderr, "fd %d, soft limit %d: the child had\n%s", c.fd, static_cast<int>(c.soft),
                out.c_str());
        leaked |= 1 << i;
      }
      close(c.fd);
      setrlimit(RLIMIT_NOFILE, &limit);
    }
    _exit(leaked);
  }
  int status = -1;
  for (int i = 0; i < 200 && waitpid(pid, &status, WNOHANG) == 0; ++i) SleepMs(50);
  if (kill(pid, 0) == 0 && waitpid(pid, &status, WNOHANG) == 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    FAIL() << "the forked test did not end within 10 s";
  }
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 100) GTEST_SKIP() << "no seccomp filter here";
  EXPECT_EQ(WEXITSTATUS(status), 0) << "leaked: 1 fd 1000, 2 fd 15000, 3 both; "
                                    << "above 100: a step of the test failed";
}

TEST(ChildProcessDescriptors, HostWithClosedStandardDescriptors) {
  // With 0/1/2 closed, new pipes land on them; the child must still get its
  // own pipes there, and a child sharing the host's streams gets /dev/null.
  const int saved[3] = {fcntl(0, F_DUPFD_CLOEXEC, 10), fcntl(1, F_DUPFD_CLOEXEC, 10),
                        fcntl(2, F_DUPFD_CLOEXEC, 10)};
  ASSERT_GE(saved[0], 0);
  ASSERT_GE(saved[1], 0);
  ASSERT_GE(saved[2], 0);
  close(0);
  close(1);
  close(2);

  std::string out, err, fds;
  int status1 = -100, status2 = -100, status3 = -100;
  bool stdioStayedClosed = false;
  {
    MySqlChildProcess p;
    if (p.Initialize("cat; echo err >&2", "", "") == 0 &&
        p.ZU_CreateProcess(true, false, false, false) == 0) {
      // The object keeps its own descriptors off 0/1/2.
      stdioStayedClosed = true;
      for (int fd = 0; fd < 3; ++fd)
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) stdioStayedClosed = false;
      p.WriteBuf("abc", 3);
      p.CloseInput();
      out = ReadAllOut(p);
      status1 = p.Wait(0);
      err = ReadErr(p);
    }
  }
  {
    MySqlChildProcess p;
    if (p.Initialize("echo hi && echo there >&2 && exec ls -l /proc/self/fd/", "", "") == 0 &&
        p.ZU_CreateProcess(false, false, false, false) == 0)
      status2 = p.Wait(0);
  }
  {
    MySqlChildProcess p;
    if (p.Initialize("for f in 0 1 2; do readlink /proc/self/fd/$f; done", "", "") == 0 &&
        p.ZU_CreateProcess(true, false, false, false) == 0) {
      fds = ReadAllOut(p);
      status3 = p.Wait(0);
    }
  }

  for (int fd = 0; fd < 3; ++fd) {
    dup2(saved[fd], fd);
    close(saved[fd]);
  }
  EXPECT_TRUE(stdioStayedClosed);
  EXPECT_EQ(out, "abc");
  EXPECT_EQ(err, "err\n");
  EXPECT_EQ(status1, 0);
  EXPECT_EQ(status2, 0);
  EXPECT_EQ(status3, 0);
  EXPECT_EQ(fds.substr(0, 5), "pipe:");
  EXPECT_EQ(fds.find("/dev/"), std::string::npos) << fds;
}

// ---------------------------------------------------------------------------
// Reaping: no zombie, grandchildren, destruction, ignored SIGCHLD.

TEST(ChildProcessReaping, NoZombieAfterWait) {
  MySqlChildProcess p;
  Start(p, "echo x");
  const int pid = p.GetPid();
  ASSERT_GT(pid, 0);
  EXPECT_EQ(ReadAllOut(p), "x\n");
  EXPECT_EQ(p.Wait(0), 0);
  EXPECT_FALSE(ProcessListed(pid));
}

// Both grandchild tests kill the grandchild after 5 s at the latest and
// check that they finished well before: a regression that waits for the
// grandchild fails at once instead of passing when it ends by itself.
TEST(ChildProcessReaping, WaitReturnsWhileGrandchildHoldsThePipes) {
  ScopedGrandchildBound bound(5);
  const auto start = std::chrono::steady_clock::now();
  MySqlChildProcess p;
  Start(p, "sleep 30 & echo $! >" + bound.PidFile() + "; echo $!; echo hi >&2; echo hi");
  EXPECT_EQ(p.Wait(20), 0);
  EXPECT_NE(p.GetLastErrNo(), ETIMEDOUT);
  std::istringstream in(ReadAllOut(p));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  int grandchild = 0;
  std::string word;
  in >> grandchild >> word;
  EXPECT_EQ(word, "hi");
  EXPECT_EQ(ReadErr(p), "hi\n");
  ASSERT_GT(grandchild, 0);
  kill(grandchild, SIGKILL);
}

TEST(ChildProcessReaping, ReadBufEndsWhenChildExitsWhileGrandchildHoldsThePipe) {
  ScopedGrandchildBound bound(5);
  const auto start = std::chrono::steady_clock::now();
  MySqlChildProcess p;
  Start(p, "sleep 30 & echo $! >" + bound.PidFile() + "; echo $!; echo hi");
  std::istringstream in(ReadAllOut(p));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
  int grandchild = 0;
  std::string word;
  in >> grandchild >> word;
  EXPECT_EQ(word, "hi");
  EXPECT_EQ(p.Wait(20), 0);
  ASSERT_GT(grandchild, 0);
  kill(grandchild, SIGKILL);
}

// The child exits at once, leaving a descendant that writes 300 MB. The host
// reads slowly, so the pipe never runs empty: the output still ends soon
// after the child's exit instead of lasting as long as the descendant writes.
TEST(ChildProcessReaping, ReadBufIsBoundedOnceTheChildExitedWhileADescendantWrites) {
  MySqlChildProcess p;
  Start(p, "yes | head -c 300000000 & sleep 0.2; exit 0");
  SleepMs(500);  // the pipe is full when the child exits
  const size_t kGiveUp = 32u * 1024 * 1024;  // far beyond the bound: a regression
  std::vector<char> buf(65536);
  size_t total = 0;
  for (;;) {
    long len = static_cast<long>(buf.size());
    ASSERT_EQ(p.ReadBuf(buf.data(), &len), 0) << p.GetLastErrNo();
    if (len == 0 || total > kGiveUp) break;
    total += static_cast<size_t>(len);
    SleepMs(2);  // the descendant refills the pipe meanwhile
  }
  EXPECT_GT(total, 0u);
  EXPECT_LT(total, 16u * 1024 * 1024);
  EXPECT_EQ(p.Wait(20), 0);
}

TEST(ChildProcessReaping, DestructorNeitherKillsNorWaitsAndLeavesNoZombie) {
  int pid = -1;
  {
    MySqlChildProcess p;
    Start(p, "exec sleep 2");
    pid = p.GetPid();
    ASSERT_GT(pid, 0);
  }
  // Still running right after destruction: not killed, not waited for.
  const char state = ProcessState(pid);
  EXPECT_TRUE(state == 'S' || state == 'R') << state;
  // Reaped by the background waiter once it ends.
  EXPECT_TRUE(BecomesUnlisted(pid, 20)) << ProcessState(pid);
}

TEST(ChildProcessReaping, DestructorEndsChildBlockedOnOutputOrInput) {
  int writer = -1, reader = -1;
  {
    MySqlChildProcess p;
    Start(p, "exec yes");
    writer = p.GetPid();
    char buf[100];
    long len = sizeof(buf);
    ASSERT_EQ(p.ReadBuf(buf, &len), 0);
  }
  {
    MySqlChildProcess p;
    Start(p, "exec cat >/dev/null");
    reader = p.GetPid();
    ASSERT_EQ(p.WriteBuf("abc", 3), 0);
  }
  EXPECT_TRUE(BecomesUnlisted(writer, 20));
  EXPECT_TRUE(BecomesUnlisted(reader, 20));
}

TEST(ChildProcessReaping, HostIgnoringSigchldGetsTheTrueStatus) {
  struct sigaction ignore = {}, old = {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  ASSERT_EQ(sigaction(SIGCHLD, &ignore, &old), 0);
  int status1 = 0, status2 = -2, errno1 = -1, rawStatus = 0;
  std::string out;
  {
    MySqlChildProcess p;
    if (p.Initialize("echo hi; exit 3", "", "") == 0 &&
        p.ZU_CreateProcess(true, false, false, false) == 0) {
      out = ReadAllOut(p);
      status1 = p.Wait(0);
      errno1 = p.GetLastErrNo();
      rawStatus = p.GetWaitStatus();
    }
  }
  {
    MySqlChildProcess p;
    if (p.Initialize("exit 0", "", "") == 0 && p.ZU_CreateProcess(false, false, true, false) == 0)
      status2 = p.Wait(0);
  }
  sigaction(SIGCHLD, &old, nullptr);
  EXPECT_EQ(out, "hi\n");
  EXPECT_EQ(status1, 3);
  EXPECT_EQ(errno1, 0);
  ASSERT_TRUE(WIFEXITED(rawStatus));
  EXPECT_EQ(WEXITSTATUS(rawStatus), 3);
  EXPECT_EQ(status2, 0);
}

// A host thread that reaps every child with waitpid(-1) takes some of ours
// before we do; their status is still the true one.
TEST(ChildProcessReaping, HostReapingWithWaitpidMinusOneGetsTheTrueStatus) {
  std::atomic<bool> stop{false};
  std::atomic<int> stolen{0};
  std::thread reaper([&] {
    while (!stop) {
      int status = 0;
      if (waitpid(-1, &status, 0) > 0)
        ++stolen;
      else
        SleepMs(1);  // no child at the moment
    }
  });
  std::vector<int> statuses;
  for (int i = 0; i < 30; ++i) {
    MySqlChildProcess p;
    Start(p, "exit " + std::to_string(i % 5 + 1));
    SleepMs(5);  // the reaper is blocked in waitpid(-1) and takes the child first
    statuses.push_back(p.Wait(0));
  }
  stop = true;
  reaper.join();
  for (int i = 0; i < 30; ++i) EXPECT_EQ(statuses[static_cast<size_t>(i)], i % 5 + 1) << i;
  EXPECT_GT(stolen.load(), 0);
}

// The host reaps the child behind the object's back and the kernel gives its
// pid to another child of the host: the object waits for, reaps and reports
// only its own child, on every path, and the other child's status stays with
// the host.

// A child of this process with the given pid (clone3 with set_tid), which
// exits with 42 once a byte arrives on `release` or after 3 s. Only system
// calls run in it. -1 with errno when the pid cannot be chosen.
__attribute__((no_sanitize("address", "thread", "undefined"))) pid_t ChildWithPid(pid_t pid,
                                                                                  int release) {
  struct {
    uint64_t flags, pidfd, childTid, parentTid, exitSignal, stack, stackSize, tls, setTid,
        setTidSize, cgroup;
  } args = {};
  pid_t tid = pid;
  args.exitSignal = SIGCHLD;
  args.setTid = reinterpret_cast<uintptr_t>(&tid);
  args.setTidSize = 1;
  const long r = syscall(SYS_clone3, &args, sizeof args);
  if (r == 0) {
    struct pollfd wake = {release, POLLIN, 0};
    syscall(SYS_poll, &wake, 1, 3000);
    syscall(SYS_exit_group, 42);
  }
  return static_cast<pid_t>(r);
}

// Waits for the object's child `pid` to exit, reaps it as the host, and starts
// another child under the same pid. Returns the errno of a failed step.
int ReapAndReusePid(pid_t pid, int release) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return errno;
  struct pollfd exited = {pidfd, POLLIN, 0};
  const int ready = poll(&exited, 1, 5000);
  close(pidfd);
  int status = 0;
  if (ready != 1 || waitpid(pid, &status, 0) != pid) return ETIMEDOUT;
  return ChildWithPid(pid, release) == pid ? 0 : errno;
}

TEST(ChildProcessReaping, APidTheHostReapedAndGaveToAnotherChildIsNeverOurs) {
  enum class Path { kWait, kReadBuf, kDestructor };
  for (Path path : {Path::kWait, Path::kReadBuf, Path::kDestructor}) {
    SCOPED_TRACE(static_cast<int>(path));
    int release[2];
    ASSERT_EQ(pipe2(release, O_CLOEXEC), 0);
    pid_t pid = -1;
    int status = -2, err = -2;
    long long tookMs = -1;
    {
      MySqlChildProcess p;
      // For ReadBuf a descendant holds the pipes, so it learns of the exit
      // through the child itself.
      Start(p, path == Path::kReadBuf ? "sleep 2 & exit 7" : "exit 7");
      pid = p.GetPid();
      const int reuse = ReapAndReusePid(pid, release[0]);
      if (reuse == EPERM) GTEST_SKIP() << "choosing a pid needs CAP_CHECKPOINT_RESTORE";
      ASSERT_EQ(reuse, 0) << strerror(reuse);
      const auto start = std::chrono::steady_clock::now();
      if (path == Path::kReadBuf) {
        char buf[64];
        long len = sizeof buf;
        EXPECT_EQ(p.ReadBuf(buf, &len), 0);
        EXPECT_EQ(len, 0);  // the child's output has ended
      }
      if (path != Path::kDestructor) {
        status = p.Wait(2);
        err = p.GetLastErrNo();
      }
      tookMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count();
    }
    EXPECT_LT(tookMs, 1500);
    if (path != Path::kDestructor) {
      // The own status through the pidfd (Linux 6.15 and later), or unknown.
      EXPECT_TRUE((status == 7 && err == 0) || (status == -1 && err == ECHILD))
          << status << " " << err;
    }
    // The other child ends; it is still the host's to reap, with its status.
    ASSERT_EQ(write(release[1], "x", 1), 1);
    SleepMs(100);  // time for a thread that would wrongly wait for it
    int hostStatus = 0;
    EXPECT_EQ(waitpid(pid, &hostStatus, WNOHANG), pid);
    EXPECT_TRUE(WIFEXITED(hostStatus) && WEXITSTATUS(hostStatus) == 42) << hostStatus;
    waitpid(pid, nullptr, 0);  // not left behind when the check above failed
    close(release[0]);
    close(release[1]);
  }
}

// ---------------------------------------------------------------------------
// Kill: the started command and everything it started.

// Starts a shell that starts `sleep 60` and waits; returns the sleep's pid.
int StartShellWithTool(MySqlChildProcess& p, bool newGroup) {
  Start(p, "sleep 60 & echo $!; wait", newGroup);
  char buf[64] = {};
  long len = sizeof buf - 1;
  if (p.ReadBuf(buf, &len) != 0) return -1;
  return std::atoi(buf);
}

TEST(ChildProcessKill, SignalsTheShellAndTheToolItStarted) {
  for (bool newGroup : {true, false}) {
    MySqlChildProcess p;
    const int tool = StartShellWithTool(p, newGroup);
    ASSERT_GT(tool, 0) << newGroup;
    ASSERT_EQ(p.Kill(SIGTERM), 0) << p.GetLastErrNo();
    EXPECT_EQ(p.Wait(20), 128 + SIGTERM) << newGroup;
    bool dead = false;  // gone, or a zombie waiting for whoever inherited it
    for (int i = 0; i < 100 && !dead; ++i, SleepMs(50)) {
      const char state = ProcessState(tool);
      dead = state == 0 || state == 'Z';
    }
    EXPECT_TRUE(dead) << "the tool survived, newGroup " << newGroup;
    kill(tool, SIGKILL);
  }
}

TEST(ChildProcessKill, NoRunningChildIsEsrch) {
  MySqlChildProcess p;
  EXPECT_NE(p.Kill(SIGTERM), 0);
  EXPECT_EQ(p.GetLastErrNo(), ESRCH);
  Start(p, "exit 0");
  EXPECT_EQ(p.Wait(0), 0);
  EXPECT_NE(p.Kill(SIGTERM), 0);
  EXPECT_EQ(p.GetLastErrNo(), ESRCH);
}

// Kill from another thread ends a silent child while this thread is blocked
// on it in ReadBuf, WriteBuf or Wait (a stop request during a long, quiet
// tool step).
TEST(ChildProcessKill, FromAnotherThreadEndsABlockedCall) {
  enum class Blocked { kRead, kWrite, kWait };
  const struct {
    Blocked call;
    bool newGroup;
  } cases[] = {{Blocked::kWait, false}, {Blocked::kWait, true}, {Blocked::kRead, false},
               {Blocked::kRead, true},  {Blocked::kWrite, false}, {Blocked::kWrite, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.call) * 2 + c.newGroup);
    MySqlChildProcess p;
    Start(p, "exec sleep 30", c.newGroup);
    std::atomic<int> killed{1};
    std::thread stopper([&] {
      SleepMs(200);
      killed = p.Kill(SIGTERM);
    });
    const auto t0 = std::chrono::steady_clock::now();
    if (c.call == Blocked::kRead) {
      char buf[64];
      long len = sizeof buf;
      EXPECT_EQ(p.ReadBuf(buf, &len), 0);
      EXPECT_EQ(len, 0);  // end of output
    } else if (c.call == Blocked::kWrite) {
      const std::string big(64L * 1024 * 1024, 'x');  // more than any pipe holds
      EXPECT_NE(p.WriteBuf(big.data(), static_cast<long>(big.size())), 0);
      EXPECT_EQ(p.GetLastErrNo(), EPIPE);
    }
    EXPECT_EQ(p.Wait(20), 128 + SIGTERM);
    const auto waited = std::chrono::steady_clock::now() - t0;
    stopper.join();
    EXPECT_EQ(killed.load(), 0);
    // Far below the child's own 30 s, with room for a loaded machine.
    EXPECT_LT(waited, std::chrono::seconds(10));
    EXPECT_NE(p.Kill(SIGTERM), 0);  // reaped: never signalled again
    EXPECT_EQ(p.GetLastErrNo(), ESRCH);
  }
}

// Without bNewProcessGroup the child stays in the host's process group, so a
// terminal's Ctrl-C still reaches it.
TEST(ChildProcessKill, WithoutNewGroupTheChildSharesTheHostsGroup) {
  MySqlChildProcess p;
  const int tool = StartShellWithTool(p, false);
  ASSERT_GT(tool, 0);
  EXPECT_EQ(getpgid(tool), getpgrp());
  EXPECT_EQ(getpgid(p.GetPid()), getpgrp());
  p.Kill(SIGKILL);
  p.Wait(20);
  kill(tool, SIGKILL);
}

// ---------------------------------------------------------------------------
// Command text.

// A command, or a relative tool directory, that starts with '-' is a command
// for the shell, not options.
TEST(ChildProcessCommand, LeadingDashIsNotAnOption) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  ASSERT_EQ(mkdir((dir.path() + "/-tools").c_str(), 0755), 0);
  // A binary: a script's own interpreter would take its path as options.
  ASSERT_EQ(symlink("/bin/echo", (dir.path() + "/-tools/probe").c_str()), 0);
  MySqlChildProcess p;
  ASSERT_EQ(p.Initialize("-tools/probe probed", dir.path(), ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(true, false, true, false), 0);
  EXPECT_EQ(ReadAllOut(p), "probed\n");
  EXPECT_EQ(ReadErr(p), "");
  EXPECT_EQ(p.Wait(20), 0);
}

// ---------------------------------------------------------------------------
// System-call failures, injected at the library's system-call seam.

namespace seam = xbtest::seam;
using seam::Call;

class ChildProcessSystemCalls : public ::testing::Test {
 protected:
  ChildProcessSystemCalls() {
    // One start first: the library's one-time reads are then behind us.
    MySqlChildProcess warm;
    if (warm.Initialize("true", "", "") == 0 && warm.ZU_CreateProcess(true, false, false, false) == 0)
      warm.Wait(0);
    seam::Reset();
  }
  ~ChildProcessSystemCalls() override { seam::Reset(); }
};

TEST_F(ChildProcessSystemCalls, InterruptedReadsPollsAndWaitsAreRetried) {
  seam::Fail(Call::kRead, EINTR, 50);
  seam::Fail(Call::kPoll, EINTR, 50);
  seam::Fail(Call::kWaitid, EINTR, 3);
  MySqlChildProcess p;
  Start(p, "seq 1 50000; echo tail >&2; sleep 0.1; exit 7");
  EXPECT_EQ(ReadAllOut(p, 1000), SeqOutput(1, 50000));
  EXPECT_EQ(p.Wait(20), 7);
  EXPECT_EQ(ReadErr(p), "tail\n");
  EXPECT_EQ(seam::Pending(Call::kRead), 0);
  EXPECT_EQ(seam::Pending(Call::kWaitid), 0);
}

TEST_F(ChildProcessSystemCalls, InterruptedWritesAreRetriedAndNothingIsLost) {
  seam::Fail(Call::kWrite, EINTR, 50, 1);
  MySqlChildProcess p;
  Start(p, "wc -c");
  const std::string data(3 * 1024 * 1024, 'x');
  for (size_t done = 0; done < data.size(); done += 64 * 1024)
    ASSERT_EQ(p.WriteBuf(data.data() + done, 64 * 1024), 0) << p.GetLastErrNo();
  p.CloseInput();
  EXPECT_EQ(ReadAllOut(p), std::to_string(data.size()) + "\n");
  EXPECT_EQ(p.Wait(20), 0);
  EXPECT_EQ(seam::Pending(Call::kWrite), 0);
}

TEST_F(ChildProcessSystemCalls, WriteAndReadErrorsAreReported) {
  MySqlChildProcess p;
  Start(p, "cat");
  seam::Fail(Call::kWrite, ENOSPC);
  EXPECT_NE(p.WriteBuf("abc", 3), 0);
  EXPECT_EQ(p.GetLastErrNo(), ENOSPC);
  seam::Fail(Call::kRead, EIO);
  char buf[16];
  long len = sizeof buf;
  EXPECT_NE(p.ReadBuf(buf, &len), 0);
  EXPECT_EQ(p.GetLastErrNo(), EIO);
  EXPECT_EQ(p.Wait(20), 0);  // end of input ends cat
}

// Without /proc (no descriptor left to open it), Kill still stops the child.
TEST_F(ChildProcessSystemCalls, KillWithoutProcStillSignalsTheChild) {
  MySqlChildProcess p;
  Start(p, "exec sleep 60");
  seam::Fail(Call::kOpen, EMFILE, 1000);
  EXPECT_EQ(p.Kill(SIGTERM), 0) << p.GetLastErrNo();
  EXPECT_EQ(p.Wait(20), 128 + SIGTERM);
  EXPECT_GT(seam::Calls(Call::kOpen), 0u);  // it did look for descendants
}

// A host at its process limit (or out of memory) cannot start a thread to
// reap the child of a destroyed object: the child is reaped by the next
// start of a child instead of staying a zombie.
TEST_F(ChildProcessSystemCalls, ChildOfADestroyedObjectIsReapedWhereNoThreadCanStart) {
  seam::Fail(Call::kThread, EAGAIN);
  int pid = -1;
  {
    MySqlChildProcess p;
    Start(p, "exec sleep 0.2");
    pid = p.GetPid();
  }
  EXPECT_EQ(seam::Pending(Call::kThread), 0);  // the destructor tried to start one
  char state = 0;
  for (int i = 0; i < 100 && (state = ProcessState(pid)) != 'Z' && state != 0; ++i) SleepMs(20);
  ASSERT_EQ(state, 'Z');  // exited, and no thread reaps it
  MySqlChildProcess next;
  Start(next, "exit 3");
  EXPECT_FALSE(ProcessListed(pid)) << ProcessState(pid);
  EXPECT_EQ(next.Wait(20), 3);
}

// A start that fails at any step leaves no descriptor open and no child.
TEST_F(ChildProcessSystemCalls, FailedStartsLeakNothing) {
  const std::set<std::string> before = Lines(OpenDescriptors());
  const std::pair<Call, int> faults[] = {
      {Call::kPipe2, EMFILE}, {Call::kClone, EAGAIN}, {Call::kMapStack, ENOMEM}};
  for (const auto& fault : faults) {
    for (int passing : {0, 1, 2}) {
      if (fault.first != Call::kPipe2 && passing > 0) continue;
      seam::Reset();
      seam::Fail(fault.first, fault.second, 1, passing);
      MySqlChildProcess p;
      ASSERT_EQ(p.Initialize("true", "", ""), 0);
      EXPECT_NE(p.ZU_CreateProcess(true, false, false, false), 0);
      EXPECT_EQ(p.GetLastErrNo(), fault.second);
      EXPECT_EQ(p.GetPid(), -1);
    }
  }
  EXPECT_EQ(Lines(OpenDescriptors()), before);
}

// ---------------------------------------------------------------------------
// What Initialize records.

TEST(ChildProcessInitialize, WorkDirAndEnvironment) {
  ScratchDir dir;
  ASSERT_FALSE(dir.path().empty());
  char* real = realpath(dir.path().c_str(), nullptr);
  ASSERT_NE(real, nullptr);
  const std::string realDir = real;
  free(real);

  ASSERT_EQ(setenv("XB_CHILD_REPLACED", "old", 1), 0);
  ASSERT_EQ(setenv("XB_CHILD_KEPT", "kept", 1), 0);
  MySqlChildProcess p;
  ASSERT_EQ(p.Initialize("pwd; echo \"$XB_CHILD_A|$XB_CHILD_B|$XB_CHILD_REPLACED|$XB_CHILD_KEPT\"; "
                         "env | grep -c '^XB_CHILD_REPLACED='",
                         dir.path(), "XB_CHILD_A=alpha\nXB_CHILD_B=beta gamma=x\n\nXB_CHILD_REPLACED=new"),
            0);
  ASSERT_EQ(p.ZU_CreateProcess(true, false, true, false), 0);
  EXPECT_EQ(ReadAllOut(p), realDir + "\nalpha|beta gamma=x|new|kept\n1\n");
  EXPECT_EQ(p.Wait(0), 0);
  // The host's own environment is untouched.
  EXPECT_STREQ(getenv("XB_CHILD_REPLACED"), "old");
  EXPECT_EQ(getenv("XB_CHILD_A"), nullptr);
  unsetenv("XB_CHILD_REPLACED");
  unsetenv("XB_CHILD_KEPT");

  // Empty values keep the host's directory and environment.
  char cwd[4096];
  ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
  ASSERT_EQ(p.Initialize("pwd", "", ""), 0);
  ASSERT_EQ(p.ZU_CreateProcess(true, false, true, false), 0);
  EXPECT_EQ(ReadAllOut(p), std::string(cwd) + "\n");
  EXPECT_EQ(p.Wait(0), 0);
}

}  // namespace
