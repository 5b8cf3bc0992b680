// The tool command runner against real child processes.

#include <gtest/gtest.h>

#include <errno.h>
#include <signal.h>

#include <utility>

#include "seam/Seam.h"

#include "harness/Harness.h"

namespace {

using xbtest::LogEntry;
using xbtest::ScopedLogWriter;
using xbtest::ScopedSettings;
using XtraBackup::mysqlDetails;
using XtraBackup::XtraBackupUtil;
using LibMySqlProcess::MySqlChildProcess;

// A message written once with the runner's signature at `level`.
void ExpectLoggedOnce(ScopedLogWriter& log, const std::string& text, int level) {
  std::vector<LogEntry> found = log->Find(text);
  ASSERT_EQ(found.size(), 1u) << "message: " << text;
  EXPECT_EQ(found[0].level, level) << text;
  EXPECT_EQ(found[0].function, xbtest::sig::kRun) << text;
}

void ExpectRunnerFailure(const CKaError& result, const std::string& message) {
  ASSERT_TRUE(result.IsError());
  EXPECT_EQ(result.AsString(), message);
  EXPECT_EQ(result.GetCode(), 1627u);
  EXPECT_EQ(result.GetFile(), "XtraBackupUtil");
  EXPECT_EQ(result.GetFunction(), xbtest::sig::kRun);
}

class Runner : public ::testing::Test {
 protected:
  CKaError Run(const std::string& command, bool readOutput, std::string& output, bool wait) {
    return util_.runXtraBackupCommand(&child_, command, readOutput, output, wait);
  }

  ScopedSettings settings_;
  ScopedLogWriter log_;
  MySqlChildProcess child_;
  XtraBackupUtil util_;
};

TEST_F(Runner, LaunchAndHandOverOnlyStartsTheChild) {
  settings_.SetMySql("ndebugXtraBackup", "1");
  std::string output = "untouched";
  CKaError result = Run("printf handed-over; exit 7", false, output, false);
  ASSERT_FALSE(result.IsError());
  EXPECT_EQ(output, "untouched");

  ASSERT_EQ(log_->Entries().size(), 1u);
  ExpectLoggedOnce(log_, "The command run is : [printf handed-over; exit 7]", 2);

  // Nothing was read or waited for: the host finds all output and the status.
  char buffer[64] = {};
  long length = sizeof buffer - 1;
  ASSERT_EQ(child_.ReadBuf(buffer, &length), 0);
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(length)), "handed-over");
  EXPECT_EQ(child_.Wait(0), 7);
}

TEST_F(Runner, FailedInitializeReturnsItsMessageWithAColon) {
  std::string output;
  CKaError result = Run("", true, output, true);  // an empty command cannot be initialized
  ExpectRunnerFailure(result, "MySqlChildProcess::Initialize failed:");
  ExpectLoggedOnce(log_, "MySqlChildProcess::Initialize failed", 0);
  EXPECT_TRUE(log_->Find("MySqlChildProcess::ZU_CreateProcess failed").empty());
  EXPECT_TRUE(log_->Find("Process created").empty());
}

TEST_F(Runner, NoChildObjectIsAFailedInitializeNotACrash) {
  std::string output;
  CKaError result = util_.runXtraBackupCommand(nullptr, "true", true, output, true);
  ExpectRunnerFailure(result, "MySqlChildProcess::Initialize failed:");
}

TEST_F(Runner, FailedStartReturnsItsMessage) {
  mysqlDetails details;
  details.sLaunchValue1 = "/nonexistent/working/directory";  // the child's working directory
  XtraBackupUtil util(false, details, nullptr, "");
  std::string output;
  CKaError result = util.runXtraBackupCommand(&child_, "true", true, output, true);
  ExpectRunnerFailure(result, "MySqlChildProcess::ZU_CreateProcess failed");
  ExpectLoggedOnce(log_, "MySqlChildProcess::ZU_CreateProcess failed", 0);
  EXPECT_TRUE(log_->Find("Process created").empty());
}

TEST_F(Runner, LaunchValuesReachTheChild) {
  xbtest::TempDir workDir;
  mysqlDetails details;
  details.sLaunchValue1 = workDir.path();
  details.sLaunchValue2 = "XB_RUNNER_PROBE=probe value";
  XtraBackupUtil util(false, details, nullptr, "");
  std::string output;
  CKaError result =
      util.runXtraBackupCommand(&child_, "pwd; printf '%s' \"$XB_RUNNER_PROBE\"", true, output, true);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(output, workDir.path() + "\nprobe value");
}

TEST_F(Runner, SilentChildReadsZeroBytesThenWaits) {
  std::string output = "before";
  CKaError result = Run("true", true, output, true);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(output, "before");
  ExpectLoggedOnce(log_, "The command run is : [true]", 2);
  ExpectLoggedOnce(log_, "Process created", 2);
  ExpectLoggedOnce(log_, "ReadBuf read 0 bytes...", 0);
  ExpectLoggedOnce(log_, "receive zero bytes", 0);
  ExpectLoggedOnce(log_, "ndebugXtraBackup is not set. Defaulting to 0", 0);
}

TEST_F(Runner, OutputIsAppendedAndEachChunkEndsAtItsFirstZeroByte) {
  std::string output = "existing:";
  CKaError result = Run("printf 'ab\\000cd'", true, output, true);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(output, "existing:ab");
  ExpectLoggedOnce(log_, "ReadBuf read 5 bytes...", 0);
}

TEST_F(Runner, ReadsWithoutWaitingWhenAskedOnlyToRead) {
  settings_.SetMySql("ndebugXtraBackup", "1");
  std::string output;
  CKaError result = Run("printf abc; exit 3", true, output, false);
  ASSERT_FALSE(result.IsError());
  EXPECT_EQ(output, "abc");
  EXPECT_TRUE(log_->Find("Wait For Child Process failed").empty());
  EXPECT_TRUE(log_->FindContaining("STDERR").empty());
  EXPECT_EQ(child_.Wait(0), 3);  // still the host's to reap
}

TEST_F(Runner, WaitingWithoutReadingLeavesTheOutputAlone) {
  std::string output = "kept";
  CKaError result = Run("seq 1 200000", false, output, true);  // more than a pipe holds
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(output, "kept");
  EXPECT_TRUE(log_->Find("Process created").empty());
  EXPECT_TRUE(log_->FindContaining("ReadBuf read").empty());
}

TEST_F(Runner, FailedWaitReturnsStandardErrorInBrackets) {
  std::string output;
  CKaError result = Run("printf 'disk full' >&2; exit 1", true, output, true);
  ExpectRunnerFailure(result, "[disk full]");
  ExpectLoggedOnce(log_, "Wait For Child Process failed", 0);
  EXPECT_TRUE(log_->Find("Reading from STDERR of commmand failed").empty());
  // A failed wait never reads the settings.
  EXPECT_TRUE(log_->Find("ndebugXtraBackup is not set. Defaulting to 0").empty());
}

TEST_F(Runner, FailedWaitWithSilentStandardErrorGivesEmptyBrackets) {
  std::string output;
  ExpectRunnerFailure(Run("exit 1", false, output, true), "[]");
}

TEST_F(Runner, DeathBySignalIsAFailedWait) {
  std::string output;
  ExpectRunnerFailure(Run("echo dying >&2; kill -KILL $$", false, output, true), "[dying\n]");
}

TEST_F(Runner, FailureReportsTheEndOfALargeStandardError) {
  std::string output;
  CKaError result = Run(
      "head -c 1048576 /dev/zero | tr '\\0' x >&2; echo >&2; echo 'the real reason' >&2; exit 2",
      true, output, true);
  ASSERT_TRUE(result.IsError());
  const std::string message = result.AsString();
  EXPECT_EQ(message.size(), 4096u);  // brackets around 4094 bytes
  EXPECT_EQ(message.substr(message.size() - 18), "\nthe real reason\n]");
}

TEST_F(Runner, DebugSettingLogsStandardErrorOfSuccessfulRuns) {
  settings_.SetMySql("ndebugXtraBackup", "1");
  std::string output;
  ASSERT_FALSE(Run("echo out; echo 'tool chatter' >&2", true, output, true).IsError());
  ExpectLoggedOnce(log_, " STDERR [tool chatter\n]", 0);
  EXPECT_TRUE(log_->Find("ndebugXtraBackup is not set. Defaulting to 0").empty());
}

TEST_F(Runner, DebugSettingIsReadAnewOnEveryRun) {
  std::string output;
  settings_.SetMySql("ndebugXtraBackup", "0");
  ASSERT_FALSE(Run("echo first >&2", false, output, true).IsError());
  EXPECT_TRUE(log_->FindContaining("STDERR").empty());
  EXPECT_TRUE(log_->Find("ndebugXtraBackup is not set. Defaulting to 0").empty());

  settings_.SetMySql("ndebugXtraBackup", "7");
  ASSERT_FALSE(Run("echo second >&2", false, output, true).IsError());
  ExpectLoggedOnce(log_, " STDERR [second\n]", 0);

  settings_.SetMySql("ndebugXtraBackup", "yes");  // not a number: counts as not set
  ASSERT_FALSE(Run("echo third >&2", false, output, true).IsError());
  ExpectLoggedOnce(log_, "ndebugXtraBackup is not set. Defaulting to 0", 0);
  EXPECT_TRUE(log_->Find(" STDERR [third\n]").empty());
}

TEST_F(Runner, MessagesFollowTheWritersLevel) {
  log_->SetLevel(1);  // level-2 messages are not wanted
  std::string output;
  ASSERT_FALSE(Run("true", true, output, true).IsError());
  EXPECT_TRUE(log_->FindContaining("The command run is").empty());
  EXPECT_TRUE(log_->Find("Process created").empty());
  ExpectLoggedOnce(log_, "receive zero bytes", 0);

  log_->Clear();
  log_->SetLevel(-1);
  ASSERT_FALSE(Run("true", true, output, true).IsError());
  EXPECT_TRUE(log_->Entries().empty());
  EXPECT_GT(log_->LevelQueries(), 0);
}

TEST_F(Runner, WorksWithoutALogWriter) {
  boost::shared_ptr<CLogWriterInterface> saved = g_ptrLogWriter;
  g_ptrLogWriter.reset();
  std::string output;
  CKaError result = Run("printf quiet", true, output, true);
  g_ptrLogWriter = saved;
  ASSERT_FALSE(result.IsError());
  EXPECT_EQ(output, "quiet");
}

// 50 MB of distinct lines, collected whole and in order.
TEST_F(Runner, CollectsLargeOutputByteExact) {
  log_->SetLevel(-1);
  std::string output;
  ASSERT_FALSE(Run("seq 1 6500000", true, output, true).IsError());
  std::string expected;
  expected.reserve(output.size());
  for (int i = 1; i <= 6500000; ++i) {
    expected += std::to_string(i);
    expected += '\n';
  }
  EXPECT_GT(output.size(), 50u * 1000 * 1000);
  EXPECT_TRUE(output == expected) << "sizes " << output.size() << " vs " << expected.size();
}

TEST_F(Runner, ChildFloodingStandardErrorWhileOutputIsReadDoesNotHang) {
  log_->SetLevel(-1);
  std::string output;
  CKaError result = Run(
      "for i in 1 2 3 4 5 6 7 8; do head -c 1048576 /dev/zero | tr '\\0' e >&2; echo chunk$i; "
      "done",
      true, output, true);
  ASSERT_FALSE(result.IsError());
  EXPECT_EQ(output, "chunk1\nchunk2\nchunk3\nchunk4\nchunk5\nchunk6\nchunk7\nchunk8\n");
}

}  // namespace

namespace {

namespace seam = xbtest::seam;
using seam::Call;

// Failures of the child-process library's system calls, injected at its
// system-call seam.
class RunnerSystemCallFaults : public Runner {
 protected:
  RunnerSystemCallFaults() {
    // One start first: the library's one-time reads are then behind us.
    MySqlChildProcess warm;
    if (warm.Initialize("true", "", "") == 0 && warm.ZU_CreateProcess(true, false, false, false) == 0)
      warm.Wait(0);
    seam::Reset();
  }
  ~RunnerSystemCallFaults() override { seam::Reset(); }
};

TEST_F(RunnerSystemCallFaults, NoDataYetIsRetriedSilently) {
  seam::Fail(Call::kPoll, EAGAIN, 1000);
  std::string output;
  CKaError result = Run("sleep 0.2; printf payload", true, output, true);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(output, "payload");
  EXPECT_EQ(seam::Pending(Call::kPoll), 0);  // every failure reached the runner
  EXPECT_TRUE(log_->FindContaining("ReadBuf failed").empty());
  EXPECT_EQ(log_->FindContaining("ReadBuf read").size(), 2u);  // the data, then the end
}

TEST_F(RunnerSystemCallFaults, InterruptedCallsAreRetried) {
  log_->SetLevel(-1);
  seam::Fail(Call::kRead, EINTR, 200, 3);
  seam::Fail(Call::kPoll, EINTR, 200);
  seam::Fail(Call::kWaitid, EINTR, 5);
  std::string output;
  CKaError result = Run("seq 1 100000; echo done >&2; exit 0", true, output, true);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  std::string expected;
  for (int i = 1; i <= 100000; ++i) expected += std::to_string(i) + '\n';
  EXPECT_TRUE(output == expected) << output.size();
  EXPECT_EQ(seam::Pending(Call::kRead), 0);
  EXPECT_EQ(seam::Pending(Call::kWaitid), 0);
}

TEST_F(RunnerSystemCallFaults, BrokenPipeEndsTheOutputLikeEndOfFile) {
  seam::Fail(Call::kRead, EPIPE);
  std::string output = "kept";
  // The child ignores SIGPIPE: it exits 0 whether or not its write came first.
  CKaError result = Run("trap '' PIPE; printf unread; exit 0", true, output, true);
  ASSERT_FALSE(result.IsError()) << result.AsString();
  EXPECT_EQ(output, "kept");
  ExpectLoggedOnce(log_, "Received broken pipe from child", 0);
  EXPECT_TRUE(log_->Find("receive zero bytes").empty());
  ExpectLoggedOnce(log_, "ndebugXtraBackup is not set. Defaulting to 0", 0);
}

TEST_F(RunnerSystemCallFaults, OtherReadErrorsFailAtOnceAndLeaveTheChildRunning) {
  seam::Fail(Call::kRead, EIO);
  std::string output = "kept";
  CKaError result = Run("sleep 0.3; exit 4", true, output, true);
  ExpectRunnerFailure(result, "ReadBuf failed,lastErr = [5]");
  ExpectLoggedOnce(log_, "ReadBuf failed,lastErr = [5]", 0);
  EXPECT_EQ(output, "kept");
  EXPECT_TRUE(log_->Find("Wait For Child Process failed").empty());
  // The runner neither waited for nor stopped the child: its status is intact.
  ASSERT_GT(child_.GetPid(), 0);
  EXPECT_EQ(::kill(child_.GetPid(), 0), 0);
  EXPECT_EQ(child_.Wait(0), 4);
}

// A read failing deep into a large output still leaves everything read before
// it in the output, in order, after what the string held already.
TEST_F(RunnerSystemCallFaults, ReadErrorAfterMegabytesKeepsAllOutputReadBeforeIt) {
  log_->SetLevel(-1);
  // Many failures: a look at standard error may take the first ones.
  seam::FailAfterBytes(Call::kRead, EIO, 10u * 1000 * 1000, 1000);
  std::string output = "kept:";
  CKaError result = Run("seq 1 9000000", true, output, true);
  ExpectRunnerFailure(result, "ReadBuf failed,lastErr = [5]");
  std::string expected = "kept:";
  for (int i = 1; expected.size() < output.size(); ++i) expected += std::to_string(i) + '\n';
  expected.resize(output.size());
  EXPECT_GT(output.size(), 10u * 1000 * 1000);
  EXPECT_TRUE(output == expected) << "the output kept is not the start of the child's output";
}

// A standard-error pipe that cannot be read loses its text, nothing else.
TEST_F(RunnerSystemCallFaults, FailedStandardErrorReadAfterAFailedWaitGivesEmptyBrackets) {
  seam::Fail(Call::kRead, EIO, 1000);
  std::string output;
  CKaError result = Run("echo lost >&2; exit 1", false, output, true);
  ExpectRunnerFailure(result, "[]");
  ExpectLoggedOnce(log_, "Wait For Child Process failed", 0);
}

TEST_F(RunnerSystemCallFaults, FailedStandardErrorReadInDebugModeStillSucceeds) {
  settings_.SetMySql("ndebugXtraBackup", "1");
  seam::Fail(Call::kRead, EIO, 1000);
  std::string output;
  ASSERT_FALSE(Run("echo lost >&2", false, output, true).IsError());
  ExpectLoggedOnce(log_, " STDERR []", 0);
}

TEST_F(RunnerSystemCallFaults, FailedStartsReturnTheStartMessage) {
  for (auto fault : {std::make_pair(Call::kPipe2, EMFILE), std::make_pair(Call::kClone, EAGAIN),
                     std::make_pair(Call::kMapStack, ENOMEM)}) {
    seam::Reset();
    seam::Fail(fault.first, fault.second);
    std::string output;
    ExpectRunnerFailure(Run("true", true, output, true),
                        "MySqlChildProcess::ZU_CreateProcess failed");
    EXPECT_EQ(child_.GetLastErrNo(), fault.second);
  }
}

}  // namespace
