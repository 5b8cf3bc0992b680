#pragma once

// Collects a child's standard output, of any length, into a caller's string.
//
// A capture can run to hundreds of megabytes. Growing the string as the bytes
// arrive copies the text at every growth and, right after one, holds the old
// and the new copy at once: up to twice the output in memory. Here the text
// beyond a small first part goes into fixed-size blocks of anonymous memory
// instead; Flush then sizes the string once and moves the blocks in, giving
// each block back as soon as it is copied. The peak stays near the output's
// own size plus one block, whatever that size is. Large regions are advised
// for transparent huge pages, which turns the kernel's page-by-page faulting
// of fresh memory, the main cost of a large capture, into one fault per 2 MiB.

#include <cstddef>
#include <string>
#include <vector>

namespace XtraBackup {
namespace detail {

class OutputCollector {
 public:
  explicit OutputCollector(std::string& target);
  ~OutputCollector();
  OutputCollector(const OutputCollector&) = delete;
  OutputCollector& operator=(const OutputCollector&) = delete;

  void Append(const char* data, size_t length);
  // Moves everything appended so far into the target string, in order.
  void Flush();

 private:
  struct Block {
    char* data;
    size_t used;
  };

  bool AddBlock();

  std::string& target_;
  std::vector<Block> blocks_;
  size_t blockedBytes_ = 0;
};

}  // namespace detail
}  // namespace XtraBackup
