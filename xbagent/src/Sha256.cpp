#include "Sha256.h"

#include <cerrno>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>

#include "Common.h"

namespace xbagent {

namespace {

EVP_MD_CTX* Ctx(void* ctx) { return static_cast<EVP_MD_CTX*>(ctx); }

}  // namespace

Sha256::Sha256() : ctx_(EVP_MD_CTX_new()) {
  if (ctx_ == nullptr || EVP_DigestInit_ex(Ctx(ctx_), EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(Ctx(ctx_));
    ctx_ = nullptr;
    Fail("cannot initialise SHA-256 (OpenSSL)");
  }
}

Sha256::~Sha256() { EVP_MD_CTX_free(Ctx(ctx_)); }

void Sha256::Update(const void* data, size_t length) {
  if (length > 0 && EVP_DigestUpdate(Ctx(ctx_), data, length) != 1) Fail("SHA-256 update failed");
}

std::string Sha256::FinalHex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(Ctx(ctx_), digest, &length) != 1) Fail("SHA-256 final failed");
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex += kHex[digest[i] >> 4];
    hex += kHex[digest[i] & 0x0f];
  }
  return hex;
}

std::string Sha256OfFile(const std::string& path, void (*onProgress)(uint64_t, void*),
                         void* context) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) Fail("cannot open " + path + ": " + ErrnoText(errno));
  ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
  std::unique_ptr<char[]> buffer(new char[1 << 20]);
  Sha256 hash;
  uint64_t total = 0;
  for (;;) {
    ssize_t got = ::read(fd, buffer.get(), 1 << 20);
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      Fail("cannot read " + path + ": " + ErrnoText(err));
    }
    if (got == 0) break;
    hash.Update(buffer.get(), static_cast<size_t>(got));
    total += static_cast<uint64_t>(got);
    if (onProgress) onProgress(total, context);
  }
  ::close(fd);
  return hash.FinalHex();
}

std::string Sha256OfText(const std::string& text) {
  Sha256 hash;
  hash.Update(text.data(), text.size());
  return hash.FinalHex();
}

}  // namespace xbagent
