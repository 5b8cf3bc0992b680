#include <zuMySqlChildProcess/MySqlChildProcess.h>

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <climits>
#include <mutex>
#include <cstring>
#include <new>
#include <utility>
#include <vector>

#include <ChildSpawn/ChildSpawn.h>

namespace LibMySqlProcess {

namespace {

using childspawn::ChildHandles;
using childspawn::TailBuffer;

using childspawn::kDrainPerWake;
using childspawn::kExitPollMs;
using childspawn::kFinalDrainBytes;

// Every this many stdout reads, a nonblocking look at standard error keeps a
// chatty child from stalling on a full stderr pipe while stdout flows, and a
// look at the pidfd notices the child's exit while a descendant keeps the
// pipe full.
const unsigned kCheckInterval = 16;
// Reads asking for less than this are served from a read-ahead of the pipe.
const size_t kReadAheadBelow = 16 * 1024;

const char gAnchor = 0;

// Keeps this library mapped for the rest of the process: a background reaper
// runs its code, and a host unloading its plugin must not pull that code out
// from under it.
void PinLibrary() noexcept {
  static const bool pinned = []() noexcept {
    Dl_info info;
    if (dladdr(&gAnchor, &info) != 0 && info.dli_fname != nullptr)
      return dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE) != nullptr;
    return false;
  }();
  (void)pinned;
}

}  // namespace

struct MySqlChildProcess::Impl {
  // What Initialize recorded.
  bool haveCommand = false;
  std::string command;
  std::string workDir;
  std::vector<std::string> env;
  int givenStdin = -1;   // SetStdinDescriptor
  int givenStdout = -1;  // SetStdoutDescriptor

  // The current run.
  bool started = false;  // ZU_CreateProcess succeeded
  bool pipes = false;    // started with pipes
  bool reaped = false;   // the child is gone and its status (or -1) is known
  bool waited = false;   // Wait completed for this run
  int rawStatus = -1;
  int exitCode = -1;
  ChildHandles h;
  TailBuffer outKeep{static_cast<size_t>(kOutRetainBytes)};
  TailBuffer err{static_cast<size_t>(kErrRetainBytes)};
  unsigned readsSinceCheck = 0;
  bool lastReadShort = false;
  size_t outReadAfterExit = 0;  // stdout bytes read after the exit was seen
  std::unique_ptr<char[]> scratch;
  // Held by Kill while it signals, and around every reaping of the child
  // together with the writes of h.pid, h.pidfd and h.ownGroup, so Kill
  // (which may run on another thread) reads them consistently and never
  // signals a pid that was reaped.
  std::mutex killLock;

  ~Impl() { childspawn::CloseAll(&h); }

  char* Scratch() noexcept {
    if (!scratch) scratch.reset(new (std::nothrow) char[childspawn::kScratchBytes]);
    return scratch.get();
  }

  size_t Drain(int* fd, TailBuffer* sink, size_t maxBytes) noexcept {
    char small[4096];
    char* buf = Scratch();
    if (buf != nullptr) return childspawn::DrainAvailable(fd, sink, buf, childspawn::kScratchBytes, maxBytes);
    return childspawn::DrainAvailable(fd, sink, small, sizeof(small), maxBytes);
  }

  // The child is gone. Call with killLock held.
  void NoteReapedLocked(int status) noexcept {
    reaped = true;
    rawStatus = status;
    h.pid = -1;
    childspawn::CloseFd(&h.pidfd);
  }

  // Whether the child has exited, reaping it if so. Never blocks.
  bool CheckExited() noexcept {
    if (reaped) return true;
    if (!started || h.pid < 0) return false;
    int status = -1;
    if (h.pidfd >= 0 && !childspawn::PidfdSignalsExit(h.pidfd)) return false;
    std::lock_guard<std::mutex> guard(killLock);
    // The child has exited and this returns at once.
    childspawn::ReapChild(h.pidfd, true, &status);
    NoteReapedLocked(status);
    return true;
  }

  // Forgets the previous run (its child was waited for).
  void ResetRun() noexcept {
    std::lock_guard<std::mutex> guard(killLock);
    childspawn::CloseAll(&h);
    h = ChildHandles();
    started = pipes = reaped = waited = false;
    rawStatus = exitCode = -1;
    outKeep.Reset();
    err.Reset();
    readsSinceCheck = 0;
    lastReadShort = false;
    outReadAfterExit = 0;
  }
};

MySqlChildProcess::MySqlChildProcess() : m_nLastErrNo(0), m_pImpl(new (std::nothrow) Impl) {}

MySqlChildProcess::~MySqlChildProcess() {
  if (!m_pImpl) return;
  Impl& p = *m_pImpl;
  // End of input for the child, and no one reads its output any more: a
  // tool ends on its own (end of file, or EPIPE/SIGPIPE on its next write).
  childspawn::CloseFd(&p.h.stdinFd);
  childspawn::CloseFd(&p.h.stdoutFd);
  childspawn::CloseFd(&p.h.stderrFd);
  {
    std::lock_guard<std::mutex> guard(p.killLock);
    int status = -1;
    if (p.started && !p.reaped && p.h.pid > 0 &&
        childspawn::ReapChild(p.h.pidfd, false, &status) == 0) {
      PinLibrary();
      childspawn::ReapInBackground(p.h.pidfd);
      p.h.pidfd = -1;
    }
    p.h.pid = -1;
    childspawn::CloseFd(&p.h.pidfd);
  }
  childspawn::ReapOrphans();
}

int MySqlChildProcess::Initialize(std::string sCommand, std::string sWorkDir,
                                  std::string sEnvironment) {
  if (!m_pImpl) {
    m_nLastErrNo = ENOMEM;
    return -1;
  }
  Impl& p = *m_pImpl;
  if (p.started && !p.waited) {
    m_nLastErrNo = EBUSY;
    return -1;
  }
  const auto hasNul = [](const std::string& s) { return s.find('\0') != std::string::npos; };
  if (sCommand.empty() || hasNul(sCommand) || hasNul(sWorkDir) || hasNul(sEnvironment)) {
    m_nLastErrNo = EINVAL;
    return -1;
  }
  try {
    std::vector<std::string> env;
    size_t pos = 0;
    while (pos <= sEnvironment.size()) {
      size_t end = sEnvironment.find('\n', pos);
      if (end == std::string::npos) end = sEnvironment.size();
      std::string entry = sEnvironment.substr(pos, end - pos);
      pos = end + 1;
      if (entry.empty()) continue;
      const size_t eq = entry.find('=');
      if (eq == 0 || eq == std::string::npos) {
        m_nLastErrNo = EINVAL;
        return -1;
      }
      env.push_back(std::move(entry));
    }
    p.ResetRun();
    p.command = std::move(sCommand);
    p.workDir = std::move(sWorkDir);
    p.env = std::move(env);
    p.haveCommand = true;
  } catch (...) {
    m_nLastErrNo = ENOMEM;
    return -1;
  }
  m_nLastErrNo = 0;
  return 0;
}

int MySqlChildProcess::ZU_CreateProcess(bool bPipes, bool bMergeStderr, bool bNullStdin,
                                        bool bNewProcessGroup) {
  if (!m_pImpl) {
    m_nLastErrNo = ENOMEM;
    return -1;
  }
  Impl& p = *m_pImpl;
  if (!p.haveCommand) {
    m_nLastErrNo = EINVAL;
    return -1;
  }
  if (p.started && !p.waited) {
    m_nLastErrNo = EBUSY;
    return -1;
  }
  p.ResetRun();
  // Children of destroyed objects that exited with no thread to reap them
  // are reaped here, before this start needs a place among the processes.
  childspawn::ReapOrphans();

  int err;
  try {
    using childspawn::StreamMode;
    childspawn::SpawnRequest req;
    req.command = p.command;
    req.workDir = p.workDir;
    req.extraEnv = p.env;
    req.stdinMode = bNullStdin ? StreamMode::kDevNull
                               : (bPipes ? StreamMode::kPipe : StreamMode::kInherit);
    if (p.givenStdin >= 0) {
      req.stdinMode = StreamMode::kGiven;
      req.givenStdinFd = p.givenStdin;
    }
    req.stdoutMode = bPipes ? StreamMode::kPipe : StreamMode::kInherit;
    if (p.givenStdout >= 0) {
      req.stdoutMode = StreamMode::kGiven;
      req.givenStdoutFd = p.givenStdout;
    }
    req.stderrMode = bMergeStderr ? StreamMode::kToStdout
                                  : (bPipes ? StreamMode::kPipe : StreamMode::kInherit);
    req.newProcessGroup = bNewProcessGroup;
    req.largePipes = bPipes;
    ChildHandles started;
    err = childspawn::Spawn(req, &started);
    if (err == 0) {
      std::lock_guard<std::mutex> guard(p.killLock);
      p.h = started;
    }
  } catch (...) {
    err = ENOMEM;
  }
  if (err != 0) {
    m_nLastErrNo = err;
    return -1;
  }
  p.started = true;
  p.pipes = bPipes;
  m_nLastErrNo = 0;
  return 0;
}

namespace {

// What SetStdinDescriptor and SetStdoutDescriptor check before keeping nFd.
int CheckGivenDescriptor(int nFd) noexcept {
  return nFd < -1 || (nFd >= 0 && fcntl(nFd, F_GETFD) < 0) ? EBADF : 0;
}

}  // namespace

int MySqlChildProcess::SetStdoutDescriptor(int nFd) {
  if (!m_pImpl) {
    m_nLastErrNo = ENOMEM;
    return -1;
  }
  if ((m_nLastErrNo = CheckGivenDescriptor(nFd)) != 0) return -1;
  m_pImpl->givenStdout = nFd;
  return 0;
}

int MySqlChildProcess::SetStdinDescriptor(int nFd) {
  if (!m_pImpl) {
    m_nLastErrNo = ENOMEM;
    return -1;
  }
  if ((m_nLastErrNo = CheckGivenDescriptor(nFd)) != 0) return -1;
  m_pImpl->givenStdin = nFd;
  return 0;
}

int MySqlChildProcess::ReadBuf(char* pBuf, long* pnLen) {
  if (pBuf == nullptr || pnLen == nullptr || *pnLen <= 0) {
    m_nLastErrNo = EINVAL;
    return -1;
  }
  const size_t cap = static_cast<size_t>(std::min<long>(*pnLen, SSIZE_MAX));
  *pnLen = 0;
  if (!m_pImpl || !m_pImpl->started || !m_pImpl->pipes) {
    m_nLastErrNo = EBADF;
    return -1;
  }
  Impl& p = *m_pImpl;

  // Output kept while the host was writing or waiting comes first.
  if (p.outKeep.Size() > 0) {
    *pnLen = static_cast<long>(p.outKeep.TakeFront(pBuf, cap));
    return 0;
  }

  // A short read emptied the pipe, so the next call goes to poll directly
  // instead of trying a read that is most likely to find nothing.
  bool tryRead = !p.lastReadShort || p.reaped;
  for (;;) {
    if (p.h.stdoutFd < 0) return 0;  // end of output

    if (tryRead) {
      // Small reads go through the scratch buffer and keep the rest for the
      // next calls: one system call then serves many of them.
      char* readAhead = cap < kReadAheadBelow ? p.Scratch() : nullptr;
      char* target = readAhead ? readAhead : pBuf;
      const size_t want = readAhead ? childspawn::kScratchBytes : cap;
      const ssize_t n = childspawn::ReadRetry(p.h.stdoutFd, target, want);
      if (n > 0) {
        p.lastReadShort = static_cast<size_t>(n) < want;
        size_t count = static_cast<size_t>(n);
        if (readAhead) {  // before the drain below reuses the scratch buffer
          count = std::min(count, cap);
          std::memcpy(pBuf, readAhead, count);
          p.outKeep.Append(readAhead + count, static_cast<size_t>(n) - count);
        }
        if (++p.readsSinceCheck >= kCheckInterval) {
          p.readsSinceCheck = 0;
          if (p.h.stderrFd >= 0) p.Drain(&p.h.stderrFd, &p.err, kDrainPerWake);
          p.CheckExited();
        }
        // After the child's exit, what it wrote is at most what the pipe
        // holds: beyond that, a descendant is writing, and the child's
        // output has ended.
        if (p.reaped) {
          p.outReadAfterExit += static_cast<size_t>(n);
          if (p.outReadAfterExit > kFinalDrainBytes) childspawn::CloseFd(&p.h.stdoutFd);
        }
        *pnLen = static_cast<long>(count);
        return 0;
      }
      if (n == 0) {
        childspawn::CloseFd(&p.h.stdoutFd);
        return 0;
      }
      if (errno != EAGAIN && errno != EWOULDBLOCK) {
        m_nLastErrNo = errno;
        childspawn::CloseFd(&p.h.stdoutFd);
        return -1;
      }
      // The child is gone and the pipe is empty: whatever still holds the
      // pipe open is a descendant, and the output of this child has ended.
      if (p.reaped) {
        childspawn::CloseFd(&p.h.stdoutFd);
        return 0;
      }
    }
    tryRead = true;

    childspawn::PollSet set;
    set.Add(p.h.stdoutFd, POLLIN);
    const int iErr = set.Add(p.h.stderrFd, POLLIN);
    const int iPid = set.Add(p.h.pidfd, POLLIN);
    if (set.Wait(p.h.pidfd >= 0 ? -1 : kExitPollMs) < 0) {
      m_nLastErrNo = errno;
      return -1;
    }
    if (set.Ready(iErr)) p.Drain(&p.h.stderrFd, &p.err, kDrainPerWake);
    if (iPid < 0 || set.Ready(iPid)) p.CheckExited();
  }
}

int MySqlChildProcess::ReadErrBuf(char* pBuf, long* pnLen) {
  if (pBuf == nullptr || pnLen == nullptr || *pnLen <= 0) {
    m_nLastErrNo = EINVAL;
    return -1;
  }
  const size_t cap = static_cast<size_t>(*pnLen);
  *pnLen = 0;
  if (!m_pImpl || !m_pImpl->started) {
    m_nLastErrNo = EBADF;
    return -1;
  }
  Impl& p = *m_pImpl;

  // Learn about the exit before reading, so that an empty pipe afterwards
  // really means the child wrote nothing more.
  const bool exited = p.CheckExited();
  if (p.h.stderrFd >= 0) p.Drain(&p.h.stderrFd, &p.err, kFinalDrainBytes);
  if (p.err.Size() > 0) {
    *pnLen = static_cast<long>(p.err.TakeBack(pBuf, cap));
    return 0;
  }
  if (p.h.stderrFd < 0) return 0;  // ended (or never a pipe) and all taken
  if (exited) {
    childspawn::CloseFd(&p.h.stderrFd);
    return 0;
  }
  m_nLastErrNo = EAGAIN;
  return -1;
}

int MySqlChildProcess::WriteBuf(const char* pBuf, long nLen) {
  if (nLen < 0 || (pBuf == nullptr && nLen > 0)) {
    m_nLastErrNo = EINVAL;
    return -1;
  }
  if (!m_pImpl || !m_pImpl->started || m_pImpl->h.stdinFd < 0) {
    m_nLastErrNo = EBADF;
    return -1;
  }
  Impl& p = *m_pImpl;
  size_t done = 0;
  const size_t total = static_cast<size_t>(nLen);
  while (done < total) {
    const size_t chunk = std::min<size_t>(total - done, SSIZE_MAX);
    const ssize_t n = childspawn::WriteNoSigpipe(p.h.stdinFd, pBuf + done, chunk);
    if (n > 0) {
      done += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      m_nLastErrNo = errno;
      return -1;
    }
    // The pipe is full. A child that has exited will never empty it (a
    // descendant may hold it open without reading).
    if (p.CheckExited()) {
      m_nLastErrNo = EPIPE;
      return -1;
    }
    childspawn::PollSet set;
    set.Add(p.h.stdinFd, POLLOUT);
    const int iOut = set.Add(p.h.stdoutFd, POLLIN);
    const int iErr = set.Add(p.h.stderrFd, POLLIN);
    set.Add(p.h.pidfd, POLLIN);  // an exit is picked up by CheckExited on the next round
    if (set.Wait(p.h.pidfd >= 0 ? -1 : kExitPollMs) < 0) {
      m_nLastErrNo = errno;
      return -1;
    }
    // The child may be blocked writing its output while we wait for it to
    // read: keep its output (bounded) for a later ReadBuf.
    if (set.Ready(iOut)) p.Drain(&p.h.stdoutFd, &p.outKeep, kDrainPerWake);
    if (set.Ready(iErr)) p.Drain(&p.h.stderrFd, &p.err, kDrainPerWake);
  }
  return 0;
}

int MySqlChildProcess::CloseInput() {
  if (m_pImpl) childspawn::CloseFd(&m_pImpl->h.stdinFd);
  return 0;
}

int MySqlChildProcess::Wait(unsigned int nTimeoutSeconds) {
  if (!m_pImpl || !m_pImpl->started) {
    m_nLastErrNo = ECHILD;
    return -1;
  }
  Impl& p = *m_pImpl;
  if (p.waited) {
    m_nLastErrNo = p.rawStatus < 0 ? ECHILD : 0;
    return p.exitCode;
  }
  childspawn::CloseFd(&p.h.stdinFd);

  if (!p.reaped) {
    const int64_t deadline =
        nTimeoutSeconds == 0 ? -1
                             : childspawn::NowMs() + static_cast<int64_t>(nTimeoutSeconds) * 1000;
    int status = -1;
    if (childspawn::PumpUntilExit(&p.h, &p.outKeep, &p.err, deadline, &status, &p.killLock) ==
        childspawn::PumpResult::kTimedOut) {
      m_nLastErrNo = ETIMEDOUT;
      return -1;
    }
    std::lock_guard<std::mutex> guard(p.killLock);
    p.NoteReapedLocked(status);
  }
  // The child is gone: take what its pipes still hold, then end them, so a
  // descendant holding them open cannot make a later ReadBuf block.
  p.Drain(&p.h.stdoutFd, &p.outKeep, kFinalDrainBytes);
  p.Drain(&p.h.stderrFd, &p.err, kFinalDrainBytes);
  childspawn::CloseFd(&p.h.stdoutFd);
  childspawn::CloseFd(&p.h.stderrFd);

  p.waited = true;
  p.exitCode = childspawn::ExitCodeFromStatus(p.rawStatus);
  m_nLastErrNo = p.rawStatus < 0 ? ECHILD : 0;
  return p.exitCode;
}

int MySqlChildProcess::Kill(int nSignal) {
  if (!m_pImpl) {
    m_nLastErrNo = ESRCH;
    return -1;
  }
  Impl& p = *m_pImpl;
  // Only h.pid, h.pidfd and h.ownGroup are read, under the lock that every
  // reaping holds: the child cannot be reaped (its pid freed) meanwhile.
  std::lock_guard<std::mutex> guard(p.killLock);
  if (p.h.pid <= 0) {
    m_nLastErrNo = ESRCH;
    return -1;
  }
  ChildHandles target;
  target.pid = p.h.pid;
  target.pidfd = p.h.pidfd;
  target.ownGroup = p.h.ownGroup;
  const int err = childspawn::SignalChildTree(target, nSignal);
  m_nLastErrNo = err;
  return err == 0 ? 0 : -1;
}

int MySqlChildProcess::GetPid() const {
  return m_pImpl && m_pImpl->started && !m_pImpl->reaped ? m_pImpl->h.pid : -1;
}

int MySqlChildProcess::GetWaitStatus() const {
  return m_pImpl && m_pImpl->waited ? m_pImpl->rawStatus : -1;
}

long long MySqlChildProcess::GetDroppedErrBytes() const {
  return m_pImpl ? static_cast<long long>(m_pImpl->err.Dropped()) : 0;
}

}  // namespace LibMySqlProcess
