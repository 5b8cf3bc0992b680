#pragma once

// Watches an xbstream as it passes through, without copying it: learns the
// names of the files it carries and keeps the content of a few small ones
// (the tool's checkpoint and binary-log records). Also tells whether the
// stream ended on a chunk boundary.
//
// Chunk layout (little-endian): "XBSTCK01", flags (1 byte), type (1 byte:
// 'P' payload, 'E' end of file), path length (4), path; a payload chunk then
// has payload length (8), offset (8), checksum (4) and the payload.

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>

namespace xbagent {

class XbStreamScanner {
 public:
  // Files whose content (up to maxBytes each) is kept.
  void Capture(const std::string& path, size_t maxBytes);

  void Feed(const char* data, size_t length);

  // The bytes the scanner takes next as one piece (a header, a path, a
  // payload), and whether it need not see them: payload no capture keeps
  // may be passed by with Skip instead of Feed. A reader that takes a piece
  // at a time copies little more than the headers.
  uint64_t NextPiece(bool* skippable) const;
  // Passes by length (at most the skippable piece) bytes unseen.
  void Skip(uint64_t length);

  // True when nothing was fed or the last chunk was complete, and no
  // malformed chunk was seen.
  bool Complete() const { return problem_.empty() && state_ == State::kHeader && pending_ == 0; }
  // Why the stream is not understood ("" when it is).
  std::string Problem() const;

  const std::set<std::string>& Files() const { return files_; }
  bool HasFile(const std::string& path) const { return files_.count(path) != 0; }
  // Content of a captured file, or null when the stream did not carry it.
  const std::string* Captured(const std::string& path) const;
  uint64_t Chunks() const { return chunks_; }
  uint64_t PayloadBytes() const { return payloadBytes_; }

 private:
  enum class State { kHeader, kPath, kPayloadHeader, kPayload, kBroken };

  void HeaderDone();
  void PathDone();
  void PayloadHeaderDone();
  void PayloadTaken(uint64_t length);

  State state_ = State::kHeader;
  unsigned char fixed_[20] = {};  // header or payload header being assembled
  size_t pending_ = 0;            // bytes of fixed_/path_ assembled so far
  size_t need_ = 14;
  char type_ = 0;
  std::string path_;
  uint32_t pathLength_ = 0;
  uint64_t payloadLeft_ = 0;
  uint64_t payloadOffset_ = 0;
  std::string* captureTarget_ = nullptr;
  size_t captureLimit_ = 0;
  std::string problem_;
  uint64_t chunks_ = 0;
  uint64_t payloadBytes_ = 0;
  uint64_t position_ = 0;
  std::set<std::string> files_;
  std::map<std::string, size_t> captureLimits_;
  std::map<std::string, std::string> captured_;
};

}  // namespace xbagent
