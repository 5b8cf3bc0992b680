#include <cstring>

#include <XtraBackup/XtraBackupUtil.h>
#include <ZuLib/ZUPlatformInfo.h>

#include "OperationLog.h"
#include "OutputCollector.h"

namespace XtraBackup {

namespace {

const detail::OperationLog kLog(
    "CKaError XtraBackup::XtraBackupUtil::runXtraBackupCommand(LibMySqlProcess::MySqlChildProcess*, "
    "std::string, bool, std::string&, bool)");

// One buffer serves every read of a run. Standard output is read 1023 bytes
// at a time into a buffer whose first 1024 bytes were zeroed, so each chunk
// is followed by a zero byte; standard error is read once, at most 4094 bytes,
// and terminated right after what was read.
constexpr size_t kBufferSize = 4096;
constexpr size_t kOutZeroedBytes = 1024;
constexpr long kOutChunk = 1023;
constexpr long kErrChunk = 4094;

constexpr int kErrNoAgain = 11;
constexpr int kErrNoBrokenPipe = 32;

// Reads standard output to its end, appending each chunk up to its first zero
// byte to sOutput. A broken pipe ends the output like a zero-byte read.
// Everything read is in sOutput when this returns, after a failed read too.
CKaError CollectOutput(LibMySqlProcess::MySqlChildProcess* pProcess, char* buffer,
                       std::string& sOutput) {
  detail::OutputCollector collector(sOutput);
  for (;;) {
    std::memset(buffer, 0, kOutZeroedBytes);
    long nLength = kOutChunk;
    if (pProcess->ReadBuf(buffer, &nLength) == 0) {
      XB_LOG(kLog, 0, "ReadBuf read %ld bytes...", nLength);
      if (nLength <= 0) {
        XB_LOG(kLog, 0, "receive zero bytes");
        return CKaError::Success();
      }
      collector.Append(buffer, strnlen(buffer, static_cast<size_t>(kOutChunk)));
      continue;
    }
    int nLastErr = pProcess->GetLastErrNo();
    if (nLastErr == kErrNoAgain) continue;
    if (nLastErr == kErrNoBrokenPipe) {
      XB_LOG(kLog, 0, "Received broken pipe from child");
      return CKaError::Success();
    }
    XB_LOG(kLog, 0, "ReadBuf failed,lastErr = [%d]", nLastErr);
    return XB_FAIL(kLog, "ReadBuf failed,lastErr = [%d]", nLastErr);
  }
}

// One read of the child's standard error into `buffer`, zero-terminated.
// Only bytes actually read are kept: a failed read, or a count outside
// 0..4094, leaves the empty text.
void ReadErrorText(LibMySqlProcess::MySqlChildProcess* pProcess, char* buffer) {
  long nLength = kErrChunk;
  int rc = pProcess->ReadErrBuf(buffer, &nLength);
  if (rc != 0) XB_LOG(kLog, 0, "Reading from STDERR of commmand failed");
  bool validCount = rc == 0 && nLength >= 0 && nLength <= kErrChunk;
  buffer[validCount ? nLength : 0] = '\0';
}

}  // namespace

CKaError XtraBackupUtil::runXtraBackupCommand(LibMySqlProcess::MySqlChildProcess* pProcess,
                                              std::string sCommand, bool bReadOutput,
                                              std::string& sOutput, bool bWait) {
  XB_LOG(kLog, 2, "The command run is : [%s]", sCommand.c_str());

  // No object to drive counts as a failed initialization rather than a crash.
  if (pProcess == nullptr ||
      pProcess->Initialize(sCommand, details.sLaunchValue1, details.sLaunchValue2) != 0) {
    XB_LOG(kLog, 0, "MySqlChildProcess::Initialize failed");
    return XB_FAIL(kLog, "MySqlChildProcess::Initialize failed:");
  }
  if (pProcess->ZU_CreateProcess(true, false, false, false) != 0) {
    XB_LOG(kLog, 0, "MySqlChildProcess::ZU_CreateProcess failed");
    return XB_FAIL(kLog, "MySqlChildProcess::ZU_CreateProcess failed");
  }

  char buffer[kBufferSize];
  if (bReadOutput) {
    XB_LOG(kLog, 2, "Process created");
    CKaError readResult = CollectOutput(pProcess, buffer, sOutput);
    if (readResult.IsError()) return readResult;
  }
  if (!bWait) return CKaError::Success();

  if (pProcess->Wait(0) != 0) {
    XB_LOG(kLog, 0, "Wait For Child Process failed");
    ReadErrorText(pProcess, buffer);
    return XB_FAIL(kLog, "[%s]", buffer);
  }

  ZUPlatformInfo settings;
  unsigned long ndebugXtraBackup = 0;
  if (settings.getNumber("MySQL", "ndebugXtraBackup", &ndebugXtraBackup) == 0) {
    XB_LOG(kLog, 0, "ndebugXtraBackup is not set. Defaulting to 0");
    ndebugXtraBackup = 0;
  }
  if (ndebugXtraBackup != 0) {
    ReadErrorText(pProcess, buffer);
    XB_LOG(kLog, 0, " STDERR [%s]", buffer);
  }
  return CKaError::Success();
}

}  // namespace XtraBackup
