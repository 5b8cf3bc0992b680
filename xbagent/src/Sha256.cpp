#include "Sha256.h"

#include <vector>

#include <openssl/evp.h>

#include "Common.h"
#include "Fs.h"

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
  Sha256 hash;
  uint64_t total = 0;
  ReadFileInChunks(path, 1 << 20, [&](const char* data, size_t length) {
    hash.Update(data, length);
    total += length;
    if (onProgress) onProgress(total, context);
    return true;
  });
  return hash.FinalHex();
}

std::string Sha256OfText(const std::string& text) {
  Sha256 hash;
  hash.Update(text.data(), text.size());
  return hash.FinalHex();
}

}  // namespace xbagent
