#pragma once

// A progress line (bytes, rate, elapsed time) redrawn in place on a terminal;
// silent when standard error is not a terminal or with -q.

#include <cstdint>
#include <string>

namespace xbagent {

class Progress {
 public:
  // total 0 means unknown.
  Progress(std::string label, uint64_t total);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  // Cheap to call per chunk: redraws at most four times a second.
  void Update(uint64_t bytes) {
    if (enabled_) MaybeDraw(bytes);
  }
  // Erases the line.
  void Done();

 private:
  void MaybeDraw(uint64_t bytes);

  std::string label_;
  uint64_t total_;
  bool enabled_;
  double start_;
  double lastDraw_;
};

}  // namespace xbagent
