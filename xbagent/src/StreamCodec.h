#pragma once

// Compression (zstd) and encryption (AES-256-GCM) of a backup stream, and
// the one reader that gives back the tool's stream from a stored file.
//
// Order: the tool's stream is compressed, then encrypted; reading undoes it
// in reverse. Either step may be absent.
//
// Encrypted layout:
//   header   "XBAGCRY1" (8 bytes), plaintext chunk size (4, big-endian),
//            base nonce (12 random bytes)
//   chunks   ciphertext length (4, big-endian), flags (1: bit 0 = last
//            chunk), ciphertext, GCM tag (16)
// Chunk n (from 0) uses the base nonce with n (big-endian) XORed into its
// last 8 bytes, and authenticates the header, n, its flags and its length as
// additional data. So a changed byte, a reordered or repeated chunk, a chunk
// from another backup, and a stream cut after any chunk but the marked last
// one are all detected. Exactly one chunk carries the last flag, and nothing
// may follow it.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace xbagent {

constexpr int kDefaultZstdLevel = 3;
constexpr size_t kKeyBytes = 32;

// How a stored stream is encoded (recorded in the manifest).
struct StreamEncoding {
  bool zstd = false;
  int zstdLevel = kDefaultZstdLevel;
  bool encrypted = false;
  bool Plain() const { return !zstd && !encrypted; }
};

// "zstd" or "zstd:LEVEL" (1..19); throws a usage Failure otherwise.
void ParseCompression(const std::string& text, StreamEncoding* encoding);

// The key from a key file: exactly 32 raw bytes, or their base64 (blanks and
// line ends around it allowed). Throws Failure saying what is wrong.
std::string LoadKeyFile(const std::string& path);
// The key from the file's content (for tests); what names the file.
std::string ParseKey(const std::string& content, const std::string& what);

// Receives encoded (or decoded) bytes; returns false to stop.
using ChunkSink = std::function<bool(const char*, size_t)>;

// Encodes a stream fed in pieces; Finish ends it (writes the last chunk).
class StreamEncoder {
 public:
  // key: 32 bytes when encoding.encrypted. threads: zstd workers (0 = none).
  StreamEncoder(const StreamEncoding& encoding, const std::string& key, int threads,
                ChunkSink sink);
  ~StreamEncoder();
  StreamEncoder(const StreamEncoder&) = delete;
  StreamEncoder& operator=(const StreamEncoder&) = delete;

  // Throws Failure on a codec error; returns false when the sink stopped.
  bool Write(const char* data, size_t length);
  bool Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Decodes a stored stream fed in pieces; Finish checks it ended properly.
// Throws Failure on anything wrong: a wrong key, a changed, missing, extra or
// reordered chunk, a bad compressed frame.
class StreamDecoder {
 public:
  StreamDecoder(const StreamEncoding& encoding, const std::string& key, ChunkSink sink);
  ~StreamDecoder();
  StreamDecoder(const StreamDecoder&) = delete;
  StreamDecoder& operator=(const StreamDecoder&) = delete;

  bool Write(const char* data, size_t length);
  void Finish();

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Reads the stored stream at path and hands the tool's stream, decoded, to
// onChunk until the end or until it returns false. Returns the decoded bytes
// handed on. Throws Failure as StreamDecoder does.
uint64_t ReadDecodedStream(const std::string& path, const StreamEncoding& encoding,
                           const std::string& key, const ChunkSink& onChunk);

struct ManifestSummary;

// The key a backup needs: "" for an unencrypted one; else the key file's
// key, or a Failure when no key file was given.
std::string KeyForBackup(const StreamEncoding& encoding, const std::string& keyFile);

// Fails with "wrong key" when the encrypted stream at path was made with
// another key (reads only its header).
void CheckStreamKey(const std::string& path, const std::string& key);

// For an encoded stream whose stored size and SHA-256 matched the manifest:
// decodes it whole (nothing is written anywhere) and checks the decoded
// stream's size and SHA-256 against the manifest's raw_size and raw_sha256.
// Returns the decoded size; throws Failure naming what is wrong.
uint64_t CheckEncodedStream(const ManifestSummary& manifest, const std::string& streamPath,
                            const std::string& key);

// Reads a stored stream from the descriptor fd (standard input) to its end,
// hands on the tool's stream, decoded as the manifest says, and hashes as it
// goes. Stops with a Failure as soon as more bytes arrive than the manifest
// records; at the end checks size and SHA-256 of what was read (and, for an
// encoded stream, of what it decoded to) against the manifest, and throws
// Failure naming the difference. Returns the decoded size. When onChunk
// returns false, stops reading and checks nothing.
uint64_t ReadCheckedInput(int fd, const ManifestSummary& manifest, const std::string& key,
                          const ChunkSink& onChunk);

}  // namespace xbagent
