#pragma once

// SHA-256 through OpenSSL's EVP interface (which uses the CPU's SHA
// instructions where there are any).

#include <cstddef>
#include <cstdint>
#include <string>

namespace xbagent {

class Sha256 {
 public:
  Sha256();
  ~Sha256();
  Sha256(const Sha256&) = delete;
  Sha256& operator=(const Sha256&) = delete;

  void Update(const void* data, size_t length);
  // Lower-case hex digest; the object must not be updated afterwards.
  std::string FinalHex();

 private:
  void* ctx_;
};

// SHA-256 of a whole file, read in 1 MiB pieces; onProgress (may be null) is
// called with the bytes hashed so far after each piece.
std::string Sha256OfFile(const std::string& path, void (*onProgress)(uint64_t, void*),
                         void* context);

std::string Sha256OfText(const std::string& text);

}  // namespace xbagent
