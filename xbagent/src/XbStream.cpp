#include "XbStream.h"

#include <cstring>

namespace xbagent {

namespace {

constexpr char kMagic[] = "XBSTCK01";
constexpr size_t kMagicLength = 8;
constexpr size_t kHeaderLength = 14;          // magic, flags, type, path length
constexpr size_t kPayloadHeaderLength = 20;   // length, offset, checksum
constexpr uint32_t kMaxPathLength = 64 * 1024;

uint64_t LittleEndian(const unsigned char* p, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = bytes; i > 0; --i) value = (value << 8) | p[i - 1];
  return value;
}

}  // namespace

void XbStreamScanner::Capture(const std::string& path, size_t maxBytes) {
  captureLimits_[path] = maxBytes;
}

std::string XbStreamScanner::Problem() const {
  if (!problem_.empty()) return problem_;
  if (state_ != State::kHeader || pending_ != 0) {
    return "the stream ends inside a chunk (at byte " + std::to_string(position_) + ")";
  }
  return std::string();
}

const std::string* XbStreamScanner::Captured(const std::string& path) const {
  auto it = captured_.find(path);
  return it == captured_.end() ? nullptr : &it->second;
}

uint64_t XbStreamScanner::NextPiece(bool* skippable) const {
  *skippable = false;
  switch (state_) {
    case State::kPayload:
      *skippable = captureTarget_ == nullptr || payloadOffset_ >= captureLimit_;
      return payloadLeft_;
    case State::kBroken:
      return UINT64_MAX;  // nothing more is looked at
    default:
      return need_ - pending_;
  }
}

void XbStreamScanner::Skip(uint64_t length) {
  bool skippable = false;
  if (length <= NextPiece(&skippable) && skippable) {
    PayloadTaken(length);
    return;
  }
  // Bytes passed by that had to be seen: the stream can no longer be judged.
  if (state_ != State::kBroken) {
    problem_ = "bytes at " + std::to_string(position_) + " were not looked at";
  }
  state_ = State::kBroken;
}

void XbStreamScanner::PayloadTaken(uint64_t length) {
  payloadOffset_ += length;
  payloadLeft_ -= length;
  payloadBytes_ += length;
  position_ += length;
  if (payloadLeft_ == 0) {
    state_ = State::kHeader;
    need_ = kHeaderLength;
    pending_ = 0;
    captureTarget_ = nullptr;
  }
}

void XbStreamScanner::Feed(const char* data, size_t length) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(data);
  while (length > 0 && state_ != State::kBroken) {
    if (state_ == State::kPayload) {
      size_t take = payloadLeft_ < length ? static_cast<size_t>(payloadLeft_) : length;
      if (captureTarget_ != nullptr && payloadOffset_ < captureLimit_) {
        size_t room = captureLimit_ - static_cast<size_t>(payloadOffset_);
        size_t keep = take < room ? take : room;
        size_t at = static_cast<size_t>(payloadOffset_);
        if (captureTarget_->size() < at + keep) captureTarget_->resize(at + keep);
        std::memcpy(&(*captureTarget_)[at], p, keep);
      }
      PayloadTaken(take);
      p += take;
      length -= take;
      continue;
    }
    if (state_ == State::kPath) {
      size_t take = need_ - pending_ < length ? need_ - pending_ : length;
      path_.append(reinterpret_cast<const char*>(p), take);
      pending_ += take;
      position_ += take;
      p += take;
      length -= take;
      if (pending_ == need_) PathDone();
      continue;
    }
    // kHeader or kPayloadHeader: assemble a fixed-size record.
    size_t take = need_ - pending_ < length ? need_ - pending_ : length;
    std::memcpy(fixed_ + pending_, p, take);
    pending_ += take;
    position_ += take;
    p += take;
    length -= take;
    if (pending_ == need_) {
      if (state_ == State::kHeader) {
        HeaderDone();
      } else {
        PayloadHeaderDone();
      }
    }
  }
}

void XbStreamScanner::HeaderDone() {
  if (std::memcmp(fixed_, kMagic, kMagicLength) != 0) {
    problem_ = "no chunk header at byte " + std::to_string(position_ - kHeaderLength);
    state_ = State::kBroken;
    return;
  }
  type_ = static_cast<char>(fixed_[9]);
  if (type_ != 'P' && type_ != 'E') {
    problem_ = std::string("unknown chunk type '") + type_ + "' at byte " +
               std::to_string(position_ - kHeaderLength);
    state_ = State::kBroken;
    return;
  }
  pathLength_ = static_cast<uint32_t>(LittleEndian(fixed_ + 10, 4));
  if (pathLength_ == 0 || pathLength_ > kMaxPathLength) {
    problem_ = "bad path length " + std::to_string(pathLength_) + " at byte " +
               std::to_string(position_ - kHeaderLength);
    state_ = State::kBroken;
    return;
  }
  path_.clear();
  state_ = State::kPath;
  need_ = pathLength_;
  pending_ = 0;
}

void XbStreamScanner::PathDone() {
  ++chunks_;
  files_.insert(path_);
  if (type_ == 'E') {
    if (captureLimits_.count(path_) != 0) captured_[path_];
    state_ = State::kHeader;
    need_ = kHeaderLength;
    pending_ = 0;
    return;
  }
  state_ = State::kPayloadHeader;
  need_ = kPayloadHeaderLength;
  pending_ = 0;
}

void XbStreamScanner::PayloadHeaderDone() {
  payloadLeft_ = LittleEndian(fixed_, 8);
  payloadOffset_ = LittleEndian(fixed_ + 8, 8);
  captureTarget_ = nullptr;
  auto limit = captureLimits_.find(path_);
  if (limit != captureLimits_.end()) {
    captureTarget_ = &captured_[path_];
    captureLimit_ = limit->second;
  }
  if (payloadLeft_ == 0) {
    state_ = State::kHeader;
    need_ = kHeaderLength;
    captureTarget_ = nullptr;
  } else {
    state_ = State::kPayload;
  }
  pending_ = 0;
}

}  // namespace xbagent
