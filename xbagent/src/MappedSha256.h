#pragma once

// SHA-256 of a file read through a mapping: hashed straight from the page
// cache, window by window, without first copying it into a buffer of ours.
// Beside a running extractor on a 2 GB stream that copy was a sixth of the
// time the hash took.
//
// A file that is shortened while it is mapped makes the next read of the
// lost part raise SIGBUS. While a window is hashed this thread catches that
// signal and reports kShrunk instead of the process dying; a SIGBUS anywhere
// else goes to whatever handled it before.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace xbagent {

enum class MappedHashEnd {
  kDone,       // hex holds the digest of the size bytes
  kStopped,    // keepGoing said stop
  kShrunk,     // the file became shorter than size while it was read
  kCannotMap,  // the file cannot be mapped (read it instead)
};

struct MappedHash {
  MappedHashEnd end = MappedHashEnd::kCannotMap;
  std::string hex;
};

constexpr size_t kMappedWindowBytes = 64u << 20;

// Hashes the first size bytes of the open file fd. keepGoing (may be empty)
// is asked before each window with the bytes hashed so far. windowBytes must
// be a multiple of the page size.
MappedHash Sha256OfMappedFile(int fd, uint64_t size,
                              const std::function<bool(uint64_t)>& keepGoing,
                              size_t windowBytes = kMappedWindowBytes);

}  // namespace xbagent
