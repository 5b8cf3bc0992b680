#include "OutputCollector.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <new>

namespace XtraBackup {
namespace detail {

namespace {

constexpr size_t kMiB = 1024 * 1024;
// Output up to this size grows the string as it would by itself: the usual
// schema dump is small.
constexpr size_t kDirectBytes = kMiB;
// Past it, the room reserved in one step.
constexpr size_t kReserveBytes = 1024 * kMiB;
// Beyond the reservation, or where it is refused, each growth reserves this
// many times the capacity it outgrew.
constexpr size_t kGrowthFactor = 4;
// A capture of at most this size is moved into a string of its own size at
// the end: the move takes a few milliseconds.
constexpr size_t kTrimUpTo = 16 * kMiB;
// A move copies the text in pieces of this size, giving back the old copy's
// pages behind each piece.
constexpr size_t kMovePiece = 2 * kMiB;
constexpr uintptr_t kPageBytes = 4096;
// The string's memory is kept to small pages, and advised so only from this
// size on: allocators map requests this large on their own (glibc's threshold
// tops out at 32 MiB), so the advice cannot reach the heap other allocations
// share. The room fills at the pace of a pipe, and a huge page costs a 2 MiB
// clear at its first byte (plus compaction where the kernel defragments for
// advised memory); in a virtual machine that hands free memory back to its
// host, a fresh huge page is likely memory the host must supply again. A mariadb-dump
// of 200 MB took 2.4 s captured into huge pages there, 1.1 s into small ones.
constexpr size_t kAdviseFrom = 32 * kMiB;

// Advice only, for the whole pages within [begin, begin + length): where the
// kernel declines it, nothing else changes.
void AdviseWholePages(const char* begin, size_t length, int advice) {
  const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + kPageBytes - 1) & ~(kPageBytes - 1);
  const uintptr_t last = (reinterpret_cast<uintptr_t>(begin) + length) & ~(kPageBytes - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, advice);
}

// Appends `from` to `to`, whose capacity holds it. `from` is dropped right
// after, so the pages behind each piece are given back as it goes: the two
// copies are never held whole at once.
void MoveText(const std::string& from, std::string& to) {
  for (size_t done = 0; done < from.size();) {
    const size_t count = std::min(kMovePiece, from.size() - done);
    to.append(from.data() + done, count);
    done += count;
    AdviseWholePages(from.data(), done, MADV_DONTNEED);
  }
}

// Whether the kernel charges reserved room as if it were used (strict
// overcommit): a large reservation could then make other allocations of the
// host fail while the capture lives.
bool ReservationsAreCharged() {
  static const bool charged = [] {
    const int fd = ::open("/proc/sys/vm/overcommit_memory", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char mode = '0';
    const bool read = ::read(fd, &mode, 1) == 1;
    ::close(fd);
    return read && mode == '2';
  }();
  return charged;
}

}  // namespace

void OutputCollector::Append(const char* data, size_t length) {
  const size_t needed = target_.size() + length;
  if (needed > target_.capacity() && needed > kDirectBytes) Grow(needed);
  target_.append(data, length);
}

// Nothing here throws: a refused reservation keeps the string as it is.
OutputCollector::~OutputCollector() {
  const size_t size = target_.size();
  if (grown_ && size <= kTrimUpTo && target_.capacity() > 2 * size) MoveTo(size);
}

// Without room for either step, the string grows by itself on the append.
void OutputCollector::Grow(size_t needed) {
  if (target_.capacity() < kReserveBytes && !ReservationsAreCharged() &&
      MoveTo(std::max(needed, kReserveBytes))) {
    return;
  }
  MoveTo(std::max(needed, target_.capacity() * kGrowthFactor));
}

bool OutputCollector::MoveTo(size_t capacity) {
  std::string next;
  try {
    next.reserve(capacity);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (capacity >= kAdviseFrom) AdviseWholePages(next.data(), capacity, MADV_NOHUGEPAGE);
  MoveText(target_, next);
  target_.swap(next);
  grown_ = true;
  return true;
}

}  // namespace detail
}  // namespace XtraBackup
