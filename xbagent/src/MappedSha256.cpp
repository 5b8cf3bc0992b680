#include "MappedSha256.h"

#include <algorithm>
#include <csetjmp>
#include <csignal>
#include <mutex>

#include <sys/mman.h>

#include "Sha256.h"

namespace xbagent {

namespace {

// The window this thread is hashing, and where a SIGBUS inside it returns to.
thread_local sigjmp_buf* tGuardJump = nullptr;
thread_local const char* volatile tGuardStart = nullptr;
thread_local volatile size_t tGuardLength = 0;

struct sigaction gPreviousBusAction;

void OnBus(int signal, siginfo_t* info, void* context) {
  const char* at = static_cast<const char*>(info->si_addr);
  if (tGuardJump != nullptr && at >= tGuardStart && at < tGuardStart + tGuardLength) {
    siglongjmp(*tGuardJump, 1);
  }
  // Not ours: the previous handling takes over. For a fault, returning runs
  // the failing access again, which now meets it.
  ::sigaction(SIGBUS, &gPreviousBusAction, nullptr);
  if (info->si_code <= 0) ::raise(signal);  // sent, not a fault
  (void)context;
}

void CatchBusOnce() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction action = {};
    action.sa_sigaction = OnBus;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGBUS, &action, &gPreviousBusAction);
  });
}

// Hashes one mapped window; false when the file lost part of it meanwhile.
bool HashWindow(Sha256& hash, const char* start, size_t length) {
  sigjmp_buf jump;
  if (sigsetjmp(jump, 1) != 0) {
    tGuardJump = nullptr;
    return false;
  }
  tGuardStart = start;
  tGuardLength = length;
  tGuardJump = &jump;
  hash.Update(start, length);
  tGuardJump = nullptr;
  return true;
}

}  // namespace

MappedHash Sha256OfMappedFile(int fd, uint64_t size,
                              const std::function<bool(uint64_t)>& keepGoing,
                              size_t windowBytes) {
  CatchBusOnce();
  MappedHash result;
  Sha256 hash;
  for (uint64_t done = 0; done < size;) {
    if (keepGoing && !keepGoing(done)) {
      result.end = MappedHashEnd::kStopped;
      return result;
    }
    const size_t length = static_cast<size_t>(std::min<uint64_t>(windowBytes, size - done));
    void* mapped = ::mmap(nullptr, length, PROT_READ, MAP_SHARED | MAP_POPULATE, fd,
                          static_cast<off_t>(done));
    if (mapped == MAP_FAILED) return result;  // kCannotMap
    ::madvise(mapped, length, MADV_SEQUENTIAL);
    const bool whole = HashWindow(hash, static_cast<const char*>(mapped), length);
    ::munmap(mapped, length);
    if (!whole) {
      result.end = MappedHashEnd::kShrunk;
      return result;
    }
    done += length;
  }
  if (keepGoing) keepGoing(size);
  result.end = MappedHashEnd::kDone;
  result.hex = hash.FinalHex();
  return result;
}

}  // namespace xbagent
