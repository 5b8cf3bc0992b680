#include <ChildSpawn/TailBuffer.h>

#include <algorithm>
#include <cstring>

#include <ChildSpawn/Tuning.h>

namespace childspawn {

bool TailBuffer::Reserve(size_t needed) noexcept {
  if (buf_.size() >= needed) return true;
  size_t newSize = std::max<size_t>(buf_.size() * 2, kTailBufferFirstBytes);
  newSize = std::min(std::max(newSize, needed), capacity_);
  try {
    std::vector<char> bigger(newSize);
    // Linearize: the oldest byte moves to index 0.
    const size_t cap = buf_.size();
    if (size_ > 0) {
      const size_t first = std::min(size_, cap - head_);
      std::memcpy(bigger.data(), buf_.data() + head_, first);
      std::memcpy(bigger.data() + first, buf_.data(), size_ - first);
    }
    buf_.swap(bigger);
    head_ = 0;
    return true;
  } catch (...) {
    return false;
  }
}

void TailBuffer::Drop(size_t len) noexcept {
  len = std::min(len, size_);
  if (len == 0) return;
  head_ = (head_ + len) % buf_.size();
  size_ -= len;
  dropped_ += len;
  if (size_ == 0) head_ = 0;
}

bool TailBuffer::Append(const char* data, size_t len) noexcept {
  if (len == 0) return true;
  if (capacity_ == 0) {
    dropped_ += len;
    return true;
  }
  if (len >= capacity_) {
    // Only the last capacity_ bytes of data survive.
    dropped_ += size_ + (len - capacity_);
    size_ = 0;
    head_ = 0;
    data += len - capacity_;
    len = capacity_;
  } else if (size_ + len > capacity_) {
    Drop(size_ + len - capacity_);
  }
  if (!Reserve(size_ + len)) {
    dropped_ += len;
    return false;
  }
  const size_t cap = buf_.size();
  const size_t tail = (head_ + size_) % cap;
  const size_t first = std::min(len, cap - tail);
  std::memcpy(buf_.data() + tail, data, first);
  std::memcpy(buf_.data(), data + first, len - first);
  size_ += len;
  return true;
}

size_t TailBuffer::TakeFront(char* dst, size_t len) noexcept {
  const size_t n = std::min(len, size_);
  if (n == 0) return 0;
  const size_t cap = buf_.size();
  const size_t first = std::min(n, cap - head_);
  std::memcpy(dst, buf_.data() + head_, first);
  std::memcpy(dst + first, buf_.data(), n - first);
  head_ = (head_ + n) % cap;
  size_ -= n;
  if (size_ == 0) head_ = 0;
  return n;
}

size_t TailBuffer::TakeBack(char* dst, size_t len) noexcept {
  const size_t n = std::min(len, size_);
  Drop(size_ - n);
  const size_t taken = TakeFront(dst, n);
  size_ = 0;
  head_ = 0;
  return taken;
}

bool TailBuffer::MoveTo(std::string* out) noexcept {
  const size_t cap = buf_.size();
  try {
    if (size_ > 0) {
      const size_t first = std::min(size_, cap - head_);
      out->append(buf_.data() + head_, first);
      out->append(buf_.data(), size_ - first);
    }
  } catch (...) {
    return false;
  }
  size_ = 0;
  head_ = 0;
  return true;
}

void TailBuffer::Reset() noexcept {
  std::vector<char>().swap(buf_);
  head_ = 0;
  size_ = 0;
  dropped_ = 0;
}

}  // namespace childspawn
