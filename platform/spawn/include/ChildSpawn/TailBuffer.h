#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace childspawn {

// A byte queue bounded to `capacity` bytes that keeps the most recent data:
// appending beyond the bound drops the oldest bytes. Storage grows on demand
// up to the bound and is never larger. Allocation failure is reported by
// Append returning false (the data is then counted as dropped); nothing throws.
class TailBuffer {
 public:
  explicit TailBuffer(size_t capacity) noexcept : capacity_(capacity) {}

  // Adds bytes at the end, dropping the oldest ones beyond the capacity.
  bool Append(const char* data, size_t len) noexcept;

  // Removes up to len bytes from the front (oldest first) into dst.
  size_t TakeFront(char* dst, size_t len) noexcept;

  // Copies the most recent min(len, Size()) bytes into dst and empties the
  // buffer; the older bytes count as dropped.
  size_t TakeBack(char* dst, size_t len) noexcept;

  // Appends the whole content to *out (oldest first) and empties the buffer.
  bool MoveTo(std::string* out) noexcept;

  // Empties the buffer, releases its storage, zeroes the dropped count.
  void Reset() noexcept;

  size_t Size() const noexcept { return size_; }
  size_t Capacity() const noexcept { return capacity_; }
  uint64_t Dropped() const noexcept { return dropped_; }

 private:
  bool Reserve(size_t needed) noexcept;
  void Drop(size_t len) noexcept;

  std::vector<char> buf_;  // ring storage, size() <= capacity_
  size_t head_ = 0;        // index of the oldest byte
  size_t size_ = 0;
  size_t capacity_;
  uint64_t dropped_ = 0;
};

}  // namespace childspawn
