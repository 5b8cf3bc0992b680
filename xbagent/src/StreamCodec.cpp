#include "StreamCodec.h"

#include <algorithm>
#include <cstring>

#include <poll.h>
#include <unistd.h>

#include <cerrno>

#include <openssl/evp.h>
#include <openssl/rand.h>
#include <zstd.h>

#include "Commands.h"
#include "Common.h"
#include "Fs.h"
#include "Manifest.h"
#include "Progress.h"
#include "Sha256.h"

namespace xbagent {

namespace {

constexpr char kMagic[8] = {'X', 'B', 'A', 'G', 'C', 'R', 'Y', '1'};
constexpr size_t kNonceBytes = 12;
constexpr size_t kCheckBytes = 16;
constexpr size_t kHeaderBytes = sizeof kMagic + 4 + kNonceBytes + kCheckBytes;
constexpr size_t kTagBytes = 16;
constexpr size_t kChunkHeaderBytes = 5;
constexpr uint32_t kPlainChunk = 1 << 20;
constexpr uint32_t kMaxChunk = 16 << 20;
constexpr unsigned char kLastFlag = 1;

void PutBig(unsigned char* out, uint64_t value, int bytes) {
  for (int i = bytes - 1; i >= 0; --i, value >>= 8) out[i] = static_cast<unsigned char>(value);
}

uint64_t GetBig(const unsigned char* in, int bytes) {
  uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | in[i];
  return value;
}

// The first 16 bytes of SHA-256 over a label, the base nonce and the key:
// tells a wrong key apart from a changed stream, and reveals nothing of a
// random 256-bit key.
std::string KeyCheck(const std::string& key, const unsigned char* nonce) {
  std::string input = "xbagent stream key check";
  input.append(reinterpret_cast<const char*>(nonce), kNonceBytes);
  input += key;
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (EVP_Digest(input.data(), input.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
    Fail("SHA-256 failed in OpenSSL");
  }
  return std::string(reinterpret_cast<char*>(digest), kCheckBytes);
}

struct CipherContext {
  CipherContext() : ctx(EVP_CIPHER_CTX_new()) {
    if (ctx == nullptr) Fail("OpenSSL could not allocate a cipher context");
  }
  ~CipherContext() { EVP_CIPHER_CTX_free(ctx); }
  EVP_CIPHER_CTX* ctx;
};

// Additional data of chunk n: the header, n, the flags and the length.
std::string ChunkAad(const std::string& header, uint64_t sequence, unsigned char flags,
                     uint32_t length) {
  unsigned char tail[13];
  PutBig(tail, sequence, 8);
  tail[8] = flags;
  PutBig(tail + 9, length, 4);
  return header + std::string(reinterpret_cast<char*>(tail), sizeof tail);
}

void ChunkNonce(const unsigned char* base, uint64_t sequence, unsigned char* nonce) {
  std::memcpy(nonce, base, kNonceBytes);
  for (int i = 0; i < 8; ++i) nonce[kNonceBytes - 1 - i] ^= static_cast<unsigned char>(sequence >> (8 * i));
}

// Encrypts plaintext chunks and hands on the encrypted layout.
class Encryptor {
 public:
  Encryptor(const std::string& key, ChunkSink sink) : key_(key), sink_(std::move(sink)) {
    unsigned char header[kHeaderBytes];
    std::memcpy(header, kMagic, sizeof kMagic);
    PutBig(header + sizeof kMagic, kPlainChunk, 4);
    if (RAND_bytes(header + sizeof kMagic + 4, kNonceBytes) != 1) {
      Fail("OpenSSL gave no random bytes for the nonce");
    }
    std::memcpy(nonce_, header + sizeof kMagic + 4, kNonceBytes);
    std::string check = KeyCheck(key_, nonce_);
    std::memcpy(header + sizeof kMagic + 4 + kNonceBytes, check.data(), kCheckBytes);
    header_.assign(reinterpret_cast<char*>(header), kHeaderBytes);
    headerSent_ = false;
    pending_.reserve(kPlainChunk);
  }

  bool Write(const char* data, size_t length) {
    while (length > 0) {
      if (pending_.size() == kPlainChunk && !Emit(false)) return false;
      size_t take = std::min(length, static_cast<size_t>(kPlainChunk) - pending_.size());
      pending_.append(data, take);
      data += take;
      length -= take;
    }
    return true;
  }

  bool Finish() { return Emit(true); }

 private:
  bool Emit(bool last) {
    if (!headerSent_) {
      headerSent_ = true;
      if (!sink_(header_.data(), header_.size())) return false;
    }
    const unsigned char flags = last ? kLastFlag : 0;
    const uint32_t length = static_cast<uint32_t>(pending_.size());
    std::string out(kChunkHeaderBytes + length + kTagBytes, '\0');
    unsigned char* bytes = reinterpret_cast<unsigned char*>(&out[0]);
    PutBig(bytes, length, 4);
    bytes[4] = flags;
    unsigned char nonce[kNonceBytes];
    ChunkNonce(nonce_, sequence_, nonce);
    std::string aad = ChunkAad(header_, sequence_, flags, length);
    CipherContext cipher;
    int written = 0;
    bool ok = EVP_EncryptInit_ex(cipher.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(cipher.ctx, EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) == 1 &&
              EVP_EncryptInit_ex(cipher.ctx, nullptr, nullptr,
                                 reinterpret_cast<const unsigned char*>(key_.data()), nonce) == 1 &&
              EVP_EncryptUpdate(cipher.ctx, nullptr, &written,
                                reinterpret_cast<const unsigned char*>(aad.data()),
                                static_cast<int>(aad.size())) == 1 &&
              (length == 0 ||
               EVP_EncryptUpdate(cipher.ctx, bytes + kChunkHeaderBytes, &written,
                                 reinterpret_cast<const unsigned char*>(pending_.data()),
                                 static_cast<int>(length)) == 1) &&
              EVP_EncryptFinal_ex(cipher.ctx, bytes + kChunkHeaderBytes + length, &written) == 1 &&
              EVP_CIPHER_CTX_ctrl(cipher.ctx, EVP_CTRL_GCM_GET_TAG, kTagBytes,
                                  bytes + kChunkHeaderBytes + length) == 1;
    if (!ok) Fail("AES-256-GCM encryption failed in OpenSSL");
    ++sequence_;
    pending_.clear();
    return sink_(out.data(), out.size());
  }

  std::string key_;
  ChunkSink sink_;
  std::string header_;
  bool headerSent_;
  unsigned char nonce_[kNonceBytes];
  uint64_t sequence_ = 0;
  std::string pending_;
};

// Checks and decrypts the encrypted layout; hands on plaintext only after
// its chunk's tag was verified.
class Decryptor {
 public:
  Decryptor(const std::string& key, ChunkSink sink) : key_(key), sink_(std::move(sink)) {}

  bool Write(const char* data, size_t length) {
    if (length == 0) return true;
    if (sawLast_) Fail("the encrypted stream goes on after its last chunk (bytes were added)");
    pending_.append(data, length);
    size_t used = 0;
    bool going = true;
    while (going) {
      const unsigned char* at = reinterpret_cast<const unsigned char*>(pending_.data()) + used;
      const size_t left = pending_.size() - used;
      if (header_.empty()) {
        if (left < kHeaderBytes) break;
        ReadHeader(at);
        used += kHeaderBytes;
        continue;
      }
      if (sawLast_) {
        if (left > 0) Fail("the encrypted stream goes on after its last chunk (bytes were added)");
        break;
      }
      if (left < kChunkHeaderBytes) break;
      const uint32_t chunkLength = static_cast<uint32_t>(GetBig(at, 4));
      if (chunkLength > chunkSize_) {
        Fail("the encrypted stream is damaged: chunk " + std::to_string(sequence_) +
             " claims " + std::to_string(chunkLength) + " bytes");
      }
      if (left < kChunkHeaderBytes + chunkLength + kTagBytes) break;
      going = OpenChunk(at, chunkLength);
      used += kChunkHeaderBytes + chunkLength + kTagBytes;
    }
    pending_.erase(0, used);
    return going;
  }

  void Finish() {
    if (header_.empty()) Fail("the encrypted stream is truncated: it has no complete header");
    if (!sawLast_) {
      Fail("the encrypted stream is truncated: it ends after chunk " +
           std::to_string(sequence_) + " without the last-chunk mark");
    }
  }

 private:
  void ReadHeader(const unsigned char* at) {
    if (std::memcmp(at, kMagic, sizeof kMagic) != 0) {
      Fail("the stream is not encrypted by xbagent (no XBAGCRY1 header), or its start was "
           "damaged");
    }
    chunkSize_ = static_cast<uint32_t>(GetBig(at + sizeof kMagic, 4));
    if (chunkSize_ == 0 || chunkSize_ > kMaxChunk) Fail("the encrypted stream's header is damaged");
    std::memcpy(nonce_, at + sizeof kMagic + 4, kNonceBytes);
    const std::string stored(reinterpret_cast<const char*>(at + sizeof kMagic + 4 + kNonceBytes),
                             kCheckBytes);
    if (KeyCheck(key_, nonce_) != stored) {
      Fail("wrong key: the key file's key is not the one this backup was encrypted with");
    }
    header_.assign(reinterpret_cast<const char*>(at), kHeaderBytes);
  }

  bool OpenChunk(const unsigned char* at, uint32_t length) {
    const unsigned char flags = at[4];
    if ((flags & ~kLastFlag) != 0) Fail("the encrypted stream is damaged: unknown chunk flags");
    unsigned char nonce[kNonceBytes];
    ChunkNonce(nonce_, sequence_, nonce);
    const std::string aad = ChunkAad(header_, sequence_, flags, length);
    std::string plain(length, '\0');
    unsigned char tag[kTagBytes];
    std::memcpy(tag, at + kChunkHeaderBytes + length, kTagBytes);
    CipherContext cipher;
    int written = 0;
    unsigned char* out = reinterpret_cast<unsigned char*>(&plain[0]);
    bool ok = EVP_DecryptInit_ex(cipher.ctx, EVP_aes_256_gcm(), nullptr, nullptr, nullptr) == 1 &&
              EVP_CIPHER_CTX_ctrl(cipher.ctx, EVP_CTRL_GCM_SET_IVLEN, kNonceBytes, nullptr) == 1 &&
              EVP_DecryptInit_ex(cipher.ctx, nullptr, nullptr,
                                 reinterpret_cast<const unsigned char*>(key_.data()), nonce) == 1 &&
              EVP_DecryptUpdate(cipher.ctx, nullptr, &written,
                                reinterpret_cast<const unsigned char*>(aad.data()),
                                static_cast<int>(aad.size())) == 1 &&
              (length == 0 || EVP_DecryptUpdate(cipher.ctx, out, &written,
                                                at + kChunkHeaderBytes,
                                                static_cast<int>(length)) == 1) &&
              EVP_CIPHER_CTX_ctrl(cipher.ctx, EVP_CTRL_GCM_SET_TAG, kTagBytes, tag) == 1 &&
              EVP_DecryptFinal_ex(cipher.ctx, out + length, &written) == 1;
    if (!ok) {
      Fail("the encrypted stream was changed: chunk " + std::to_string(sequence_) +
           " fails authentication (changed, reordered or from another backup)");
    }
    ++sequence_;
    if (flags & kLastFlag) sawLast_ = true;
    return length == 0 || sink_(plain.data(), plain.size());
  }

  std::string key_;
  ChunkSink sink_;
  std::string header_;
  uint32_t chunkSize_ = 0;
  unsigned char nonce_[kNonceBytes] = {};
  uint64_t sequence_ = 0;
  bool sawLast_ = false;
  std::string pending_;
};

std::string ZstdError(size_t code) { return ZSTD_getErrorName(code); }

// zstd compression with worker threads, into a bounded output buffer.
class Compressor {
 public:
  Compressor(int level, int threads, ChunkSink sink)
      : ctx_(ZSTD_createCCtx()), sink_(std::move(sink)), out_(ZSTD_CStreamOutSize()) {
    if (ctx_ == nullptr) Fail("zstd could not allocate a compression context");
    ZSTD_CCtx_setParameter(ctx_, ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(ctx_, ZSTD_c_checksumFlag, 1);
    // Fails harmlessly (one thread) on a library built without threads.
    if (threads > 0) ZSTD_CCtx_setParameter(ctx_, ZSTD_c_nbWorkers, threads);
  }
  ~Compressor() { ZSTD_freeCCtx(ctx_); }

  bool Write(const char* data, size_t length) { return Run(data, length, ZSTD_e_continue); }
  bool Finish() { return Run(nullptr, 0, ZSTD_e_end); }

 private:
  bool Run(const char* data, size_t length, ZSTD_EndDirective mode) {
    ZSTD_inBuffer in = {data, length, 0};
    for (;;) {
      ZSTD_outBuffer out = {out_.data(), out_.size(), 0};
      size_t left = ZSTD_compressStream2(ctx_, &out, &in, mode);
      if (ZSTD_isError(left)) Fail("zstd compression failed: " + ZstdError(left));
      if (out.pos > 0 && !sink_(out_.data(), out.pos)) return false;
      if (mode == ZSTD_e_end ? left == 0 : in.pos == in.size) return true;
    }
  }

  ZSTD_CCtx* ctx_;
  ChunkSink sink_;
  std::vector<char> out_;
};

class Decompressor {
 public:
  explicit Decompressor(ChunkSink sink)
      : ctx_(ZSTD_createDCtx()), sink_(std::move(sink)), out_(ZSTD_DStreamOutSize()) {
    if (ctx_ == nullptr) Fail("zstd could not allocate a decompression context");
  }
  ~Decompressor() { ZSTD_freeDCtx(ctx_); }

  bool Write(const char* data, size_t length) {
    ZSTD_inBuffer in = {data, length, 0};
    bool outputFull = false;
    // A full output buffer may hide more output, unless the frame just ended.
    while (in.pos < in.size || (outputFull && frameOpen_)) {
      ZSTD_outBuffer out = {out_.data(), out_.size(), 0};
      size_t hint = ZSTD_decompressStream(ctx_, &out, &in);
      if (ZSTD_isError(hint)) Fail("the compressed stream is damaged: " + ZstdError(hint));
      frameOpen_ = hint != 0;
      sawData_ = true;
      outputFull = out.pos == out.size;
      if (out.pos > 0 && !sink_(out_.data(), out.pos)) return false;
    }
    return true;
  }

  void Finish() {
    if (!sawData_ || frameOpen_) Fail("the compressed stream is truncated");
  }

 private:
  ZSTD_DCtx* ctx_;
  ChunkSink sink_;
  std::vector<char> out_;
  bool frameOpen_ = false;
  bool sawData_ = false;
};

std::string StripBlanks(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\n') out += c;
  }
  return out;
}

}  // namespace

void ParseCompression(const std::string& text, StreamEncoding* encoding) {
  encoding->zstd = true;
  encoding->zstdLevel = kDefaultZstdLevel;
  if (text == "zstd") return;
  uint64_t level = 0;
  if (text.compare(0, 5, "zstd:") != 0 || !ParseUnsigned(text.substr(5), &level) || level < 1 ||
      level > 19) {
    UsageFail("--compress takes zstd or zstd:LEVEL with LEVEL from 1 to 19, not '" + text + "'");
  }
  encoding->zstdLevel = static_cast<int>(level);
}

std::string ParseKey(const std::string& content, const std::string& what) {
  if (content.size() == kKeyBytes) return content;
  const std::string text = StripBlanks(content);
  const bool base64 = !text.empty() && text.size() % 4 == 0 &&
                      text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                             "0123456789+/=") == std::string::npos;
  if (base64) {
    std::string decoded(text.size() / 4 * 3, '\0');
    int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&decoded[0]),
                                 reinterpret_cast<const unsigned char*>(text.data()),
                                 static_cast<int>(text.size()));
    size_t padding = text.size() - text.find_last_not_of('=') - 1;
    if (length >= 0 && padding <= 2 && static_cast<size_t>(length) - padding == kKeyBytes) {
      return decoded.substr(0, kKeyBytes);
    }
  }
  Fail(what + " holds no key: it must hold exactly 32 bytes, raw or in base64 (make one with "
       "'head -c 32 /dev/urandom > FILE' or 'openssl rand -base64 32 > FILE'); it has " +
       std::to_string(content.size()) + " bytes");
}

std::string LoadKeyFile(const std::string& path) {
  if (!PathExists(path)) Fail("the key file " + path + " does not exist");
  return ParseKey(ReadSmallFile(path, 4096), "the key file " + path);
}

struct StreamEncoder::State {
  std::unique_ptr<Encryptor> encryptor;
  std::unique_ptr<Compressor> compressor;
};

StreamEncoder::StreamEncoder(const StreamEncoding& encoding, const std::string& key, int threads,
                             ChunkSink sink)
    : state_(new State) {
  ChunkSink next = std::move(sink);
  if (encoding.encrypted) {
    if (key.size() != kKeyBytes) Fail("encryption needs a 32-byte key");
    state_->encryptor.reset(new Encryptor(key, next));
    Encryptor* encryptor = state_->encryptor.get();
    next = [encryptor](const char* data, size_t length) { return encryptor->Write(data, length); };
  }
  if (encoding.zstd) state_->compressor.reset(new Compressor(encoding.zstdLevel, threads, next));
  if (!encoding.zstd && !encoding.encrypted) Fail("nothing to encode");
}

StreamEncoder::~StreamEncoder() = default;

bool StreamEncoder::Write(const char* data, size_t length) {
  if (state_->compressor) return state_->compressor->Write(data, length);
  return state_->encryptor->Write(data, length);
}

bool StreamEncoder::Finish() {
  if (state_->compressor && !state_->compressor->Finish()) return false;
  return !state_->encryptor || state_->encryptor->Finish();
}

struct StreamDecoder::State {
  std::unique_ptr<Decryptor> decryptor;
  std::unique_ptr<Decompressor> decompressor;
};

StreamDecoder::StreamDecoder(const StreamEncoding& encoding, const std::string& key,
                             ChunkSink sink)
    : state_(new State) {
  ChunkSink next = std::move(sink);
  if (encoding.zstd) {
    state_->decompressor.reset(new Decompressor(next));
    Decompressor* decompressor = state_->decompressor.get();
    next = [decompressor](const char* data, size_t length) {
      return decompressor->Write(data, length);
    };
  }
  if (encoding.encrypted) {
    if (key.size() != kKeyBytes) {
      Fail("the backup is encrypted: give its key with --encrypt-key-file FILE");
    }
    state_->decryptor.reset(new Decryptor(key, next));
  }
  if (!encoding.zstd && !encoding.encrypted) Fail("nothing to decode");
}

StreamDecoder::~StreamDecoder() = default;

bool StreamDecoder::Write(const char* data, size_t length) {
  if (state_->decryptor) return state_->decryptor->Write(data, length);
  return state_->decompressor->Write(data, length);
}

void StreamDecoder::Finish() {
  if (state_->decryptor) state_->decryptor->Finish();
  if (state_->decompressor) state_->decompressor->Finish();
}

uint64_t ReadDecodedStream(const std::string& path, const StreamEncoding& encoding,
                           const std::string& key, const ChunkSink& onChunk) {
  constexpr size_t kRead = 1 << 20;
  if (encoding.Plain()) return ReadFileInChunks(path, kRead, onChunk);
  uint64_t handed = 0;
  bool stopped = false;
  StreamDecoder decoder(encoding, key, [&](const char* data, size_t length) {
    if (!onChunk(data, length)) {
      stopped = true;
      return false;
    }
    handed += length;
    return true;
  });
  ReadFileInChunks(path, kRead, [&](const char* data, size_t length) {
    return decoder.Write(data, length) && !stopped;
  });
  if (!stopped) decoder.Finish();
  return handed;
}

void CheckStreamKey(const std::string& path, const std::string& key) {
  std::string header;
  ReadFileInChunks(path, kHeaderBytes, [&](const char* data, size_t length) {
    header.append(data, length);
    return header.size() < kHeaderBytes;
  });
  if (header.size() < kHeaderBytes || header.compare(0, sizeof kMagic, kMagic, sizeof kMagic) != 0) {
    Fail("the stream " + path + " is not encrypted by xbagent (no XBAGCRY1 header)");
  }
  const unsigned char* nonce =
      reinterpret_cast<const unsigned char*>(header.data()) + sizeof kMagic + 4;
  if (KeyCheck(key, nonce) != header.substr(sizeof kMagic + 4 + kNonceBytes, kCheckBytes)) {
    Fail("wrong key: the key file's key is not the one this backup was encrypted with");
  }
}

std::string KeyForBackup(const StreamEncoding& encoding, const std::string& keyFile) {
  if (!encoding.encrypted) return std::string();
  if (keyFile.empty()) Fail("the backup is encrypted: give its key with --encrypt-key-file FILE");
  return LoadKeyFile(keyFile);
}

uint64_t CheckEncodedStream(const ManifestSummary& manifest, const std::string& streamPath,
                            const std::string& key) {
  Sha256 hash;
  Progress progress("decode", manifest.rawSize);
  uint64_t decoded = 0;
  uint64_t size = ReadDecodedStream(streamPath, manifest.encoding, key,
                                    [&](const char* data, size_t length) {
                                      hash.Update(data, length);
                                      decoded += length;
                                      progress.Update(decoded);
                                      return !StopRequested();
                                    });
  progress.Done();
  if (StopRequested()) Fail("interrupted");
  if (size != manifest.rawSize) {
    Fail("the decoded stream has " + std::to_string(size) + " bytes, the manifest says " +
         std::to_string(manifest.rawSize));
  }
  std::string digest = hash.FinalHex();
  if (digest != manifest.rawSha256) {
    Fail("the SHA-256 of the decoded stream does not match the manifest's raw_sha256");
  }
  return size;
}

namespace {

// Reads fd to its end in 1 MiB pieces; stops when onChunk returns false.
// Waits for input in short polls, so that a stop request ends a read from a
// writer that stalls (the signal may reach another thread).
void ReadDescriptor(int fd, const ChunkSink& onChunk) {
  std::vector<char> buffer(1 << 20);
  for (;;) {
    struct pollfd wait = {fd, POLLIN, 0};
    if (StopRequested()) Fail("interrupted");
    const int ready = ::poll(&wait, 1, 100);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR && !StopRequested()) continue;
      if (errno == EINTR) Fail("interrupted");
      Fail("cannot read standard input: " + ErrnoText(errno));
    }
    if (got == 0 || !onChunk(buffer.data(), static_cast<size_t>(got))) return;
  }
}

void CheckRead(const std::string& what, uint64_t size, const std::string& digest,
               uint64_t wantSize, const std::string& wantDigest) {
  // A whole stream given with another backup's manifest differs as a cut
  // one does: both are named.
  if (size != wantSize) {
    Fail(what + " does not match the manifest: it has " + std::to_string(size) +
         " bytes, the manifest says " + std::to_string(wantSize) +
         " (the stream was cut short, or the manifest is another backup's)");
  }
  if (digest != wantDigest) {
    Fail("the SHA-256 of " + what + " does not match the manifest (the stream is damaged or "
         "was changed, or the manifest is another backup's): " + digest + " != " + wantDigest);
  }
}

}  // namespace

uint64_t ReadCheckedInput(int fd, const ManifestSummary& manifest, const std::string& key,
                          const ChunkSink& onChunk) {
  const bool plain = manifest.encoding.Plain();
  Sha256 storedHash;
  Sha256 rawHash;
  uint64_t stored = 0;
  uint64_t raw = 0;
  bool stopped = false;
  ChunkSink hand = [&](const char* data, size_t length) {
    if (StopRequested() || !onChunk(data, length)) {
      stopped = true;
      return false;
    }
    raw += length;
    if (!plain) rawHash.Update(data, length);
    return true;
  };
  std::unique_ptr<StreamDecoder> decoder;
  if (!plain) decoder.reset(new StreamDecoder(manifest.encoding, key, hand));
  ReadDescriptor(fd, [&](const char* data, size_t length) {
    stored += length;
    if (stored > manifest.streamSize) {
      Fail("the stream on standard input does not match the manifest: it is longer than the "
           "manifest's " + std::to_string(manifest.streamSize) +
           " bytes (probably the manifest of another backup)");
    }
    storedHash.Update(data, length);
    return (plain ? hand(data, length) : decoder->Write(data, length)) && !stopped;
  });
  if (StopRequested()) Fail("interrupted");
  if (stopped) return raw;
  CheckRead("the stream on standard input", stored, storedHash.FinalHex(), manifest.streamSize,
            manifest.streamSha256);
  if (plain) return raw;
  decoder->Finish();
  CheckRead("the decoded stream", raw, rawHash.FinalHex(), manifest.rawSize, manifest.rawSha256);
  return raw;
}

}  // namespace xbagent
