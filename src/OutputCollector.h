#pragma once

// Collects a child's standard output, of any length, into a caller's string.
//
// A capture can run to hundreds of megabytes. A string that grows by itself
// doubles its capacity, copying the text each time: the copies stall the read
// loop while the child waits on a full pipe, they touch about twice the
// output in fresh memory (which the kernel clears page by page), and right
// after a growth the old and the new copy are held at once, up to twice the
// output in memory. Here, once the output outgrows a small first part, the
// string reserves room for a large capture in one step. A reservation is
// address space, not memory: only the pages written are ever backed, so the
// text is written once, where it stays. A short capture is trimmed at the
// end; a long one keeps the unused room, since trimming would copy it all.
// Where an output outgrows the reservation, where it is refused, or where
// the kernel would charge it as if it were used (strict overcommit), the
// capacity grows fourfold, and every move gives back the old copy's
// pages behind it, so the peak stays near the output's own size.

#include <cstddef>
#include <string>

namespace XtraBackup {
namespace detail {

class OutputCollector {
 public:
  explicit OutputCollector(std::string& target) : target_(target) {}
  // Gives back the room a short capture left unused.
  ~OutputCollector();
  OutputCollector(const OutputCollector&) = delete;
  OutputCollector& operator=(const OutputCollector&) = delete;

  void Append(const char* data, size_t length);

 private:
  void Grow(size_t needed);
  bool MoveTo(size_t capacity);

  std::string& target_;
  bool grown_ = false;
};

}  // namespace detail
}  // namespace XtraBackup
