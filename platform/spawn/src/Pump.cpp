#include <ChildSpawn/Pump.h>

#include <errno.h>

#include <algorithm>
#include <memory>
#include <new>

#include <ChildSpawn/Fd.h>
#include <ChildSpawn/Reap.h>
#include <ChildSpawn/Tuning.h>

#include "SysCalls.h"

namespace childspawn {

size_t DrainAvailable(int* fd, TailBuffer* sink, char* scratch, size_t scratchLen,
                      size_t maxBytes) noexcept {
  size_t total = 0;
  while (*fd >= 0 && total < maxBytes) {
    const size_t want = std::min(scratchLen, maxBytes - total);
    const ssize_t n = ReadRetry(*fd, scratch, want);
    if (n > 0) {
      if (sink != nullptr) sink->Append(scratch, static_cast<size_t>(n));
      total += static_cast<size_t>(n);
      // A pipe read returns less than asked only when the pipe ran empty.
      if (static_cast<size_t>(n) < want) break;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    CloseFd(fd);  // end of file, or an error that will not go away
  }
  return total;
}

namespace {

// Scratch space for draining: on the heap when possible so callers running on
// small thread stacks are safe, with a small fallback if allocation fails.
class Scratch {
 public:
  Scratch() noexcept : heap_(new (std::nothrow) char[kScratchBytes]) {}
  char* data() noexcept { return heap_ ? heap_.get() : small_; }
  size_t size() const noexcept { return heap_ ? kScratchBytes : sizeof(small_); }

 private:
  std::unique_ptr<char[]> heap_;
  char small_[4096];
};

void Sleep(int ms) noexcept { sys::Poll(nullptr, 0, ms); }

}  // namespace

PumpResult PumpUntilExit(ChildHandles* h, TailBuffer* outSink, TailBuffer* errSink,
                         int64_t deadlineMs, int* rawStatus, std::mutex* reapLock) noexcept {
  Scratch scratch;

  // Reaps the child, known to have exited (or, without a pidfd, never to be
  // known), and forgets its pid under reapLock.
  auto reap = [&]() {
    std::unique_lock<std::mutex> guard;
    if (reapLock != nullptr) guard = std::unique_lock<std::mutex>(*reapLock);
    int status = -1;
    ReapChild(h->pidfd, true, &status);
    h->pid = -1;
    CloseFd(&h->pidfd);
    // The child is gone: everything it wrote is already in the pipes.
    DrainAvailable(&h->stdoutFd, outSink, scratch.data(), scratch.size(), kFinalDrainBytes);
    DrainAvailable(&h->stderrFd, errSink, scratch.data(), scratch.size(), kFinalDrainBytes);
    *rawStatus = status;
    return PumpResult::kExited;
  };

  for (;;) {
    if (h->pidfd < 0) return reap();
    if (deadlineMs >= 0 && NowMs() >= deadlineMs) return PumpResult::kTimedOut;

    PollSet set;
    const int iOut = set.Add(h->stdoutFd, POLLIN);
    const int iErr = set.Add(h->stderrFd, POLLIN);
    const int iPid = set.Add(h->pidfd, POLLIN);
    const int n = set.Wait(TimeoutUntil(deadlineMs, -1));
    if (n < 0) {
      // Only EINVAL/ENOMEM are possible here; avoid spinning.
      Sleep(kExitPollMs);
      continue;
    }
    if (n == 0) continue;
    if (set.Ready(iOut))
      DrainAvailable(&h->stdoutFd, outSink, scratch.data(), scratch.size(), kDrainPerWake);
    if (set.Ready(iErr))
      DrainAvailable(&h->stderrFd, errSink, scratch.data(), scratch.size(), kDrainPerWake);
    if (set.Ready(iPid)) return reap();  // exited: waitid returns at once
  }
}

}  // namespace childspawn
