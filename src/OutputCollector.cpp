#include "OutputCollector.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace XtraBackup {
namespace detail {

namespace {

// Output up to this size goes straight into the string: the usual schema
// dump is small, and needs neither blocks nor a second copy.
constexpr size_t kDirectBytes = 1024 * 1024;
// One huge page: the kernel places a mapping of this size on a huge-page
// boundary, and the peak holds at most one block beyond the output.
constexpr size_t kBlockBytes = 2 * 1024 * 1024;
constexpr uintptr_t kPageBytes = 4096;
// The string's own memory is advised only from this size on: allocators map
// requests this large on their own (glibc's threshold tops out at 32 MiB), so
// the advice cannot reach the heap other allocations share.
constexpr size_t kAdviseStringFrom = 32 * 1024 * 1024;

// Advice only: where huge pages are off or unavailable the kernel uses small
// pages, and nothing else changes.
void AdviseHugePages(void* begin, size_t length) {
  const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + kPageBytes - 1) & ~(kPageBytes - 1);
  const uintptr_t last = (reinterpret_cast<uintptr_t>(begin) + length) & ~(kPageBytes - 1);
  if (last > first) madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

}  // namespace

OutputCollector::OutputCollector(std::string& target) : target_(target) {}

// Blocks are left only when Flush could not size the string.
OutputCollector::~OutputCollector() {
  for (Block& block : blocks_) munmap(block.data, kBlockBytes);
}

void OutputCollector::Append(const char* data, size_t length) {
  while (length > 0) {
    if (blocks_.empty() && target_.size() + length <= kDirectBytes) {
      target_.append(data, length);
      return;
    }
    if ((blocks_.empty() || blocks_.back().used == kBlockBytes) && !AddBlock()) {
      // Without memory for a block, the string grows as it would by itself.
      Flush();
      target_.append(data, length);
      return;
    }
    Block& block = blocks_.back();
    const size_t count = std::min(length, kBlockBytes - block.used);
    std::memcpy(block.data + block.used, data, count);
    block.used += count;
    blockedBytes_ += count;
    data += count;
    length -= count;
  }
}

void OutputCollector::Flush() {
  if (blocks_.empty()) return;
  const size_t start = target_.size();
  target_.reserve(start + blockedBytes_);
  if (blockedBytes_ >= kAdviseStringFrom) AdviseHugePages(&target_[0] + start, blockedBytes_);
  for (Block& block : blocks_) {
    target_.append(block.data, block.used);  // within the reserved capacity: cannot throw
    munmap(block.data, kBlockBytes);
  }
  blocks_.clear();
  blockedBytes_ = 0;
}

bool OutputCollector::AddBlock() {
  blocks_.reserve(blocks_.size() + 1);  // so the mapping below is never lost to a throw
  void* memory = mmap(nullptr, kBlockBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) return false;
  AdviseHugePages(memory, kBlockBytes);
  blocks_.push_back(Block{static_cast<char*>(memory), 0});
  return true;
}

}  // namespace detail
}  // namespace XtraBackup
