// Compression and encryption of backup streams: round trips, and every kind
// of damage to an encrypted stream is refused with a reason.

#include <cstdio>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "../../xbagent/src/Common.h"
#include "../../xbagent/src/Manifest.h"
#include "../../xbagent/src/Sha256.h"
#include "../../xbagent/src/StreamCodec.h"

namespace xbagent {
namespace {

const std::string kKey(32, 'k');

// Text with repeats (compressible) and random bytes, crossing several
// encryption chunks.
std::string Sample(size_t bytes) {
  std::mt19937 random(42);
  std::string text;
  while (text.size() < bytes) {
    text += "row " + std::to_string(text.size() % 977) + " of a table page; ";
    for (int i = 0; i < 8; ++i) text += static_cast<char>(random() & 0xff);
  }
  text.resize(bytes);
  return text;
}

std::string Encode(const std::string& plain, const StreamEncoding& encoding,
                   const std::string& key, size_t piece = 70000) {
  std::string out;
  StreamEncoder encoder(encoding, key, 2, [&](const char* data, size_t length) {
    out.append(data, length);
    return true;
  });
  for (size_t at = 0; at < plain.size(); at += piece) {
    EXPECT_TRUE(encoder.Write(plain.data() + at, std::min(piece, plain.size() - at)));
  }
  EXPECT_TRUE(encoder.Finish());
  return out;
}

// Decodes; returns the failure's text, or "" and the plain text in *plain.
std::string Decode(const std::string& stored, const StreamEncoding& encoding,
                   const std::string& key, std::string* plain) {
  plain->clear();
  try {
    StreamDecoder decoder(encoding, key, [&](const char* data, size_t length) {
      plain->append(data, length);
      return true;
    });
    for (size_t at = 0; at < stored.size(); at += 65536) {
      decoder.Write(stored.data() + at, std::min<size_t>(65536, stored.size() - at));
    }
    decoder.Finish();
  } catch (const Failure& failure) {
    return failure.what();
  }
  return std::string();
}

StreamEncoding Both() {
  StreamEncoding encoding;
  encoding.zstd = true;
  encoding.encrypted = true;
  return encoding;
}

TEST(StreamCodec, EveryEncodingRoundTrips) {
  const std::string plain = Sample(3 * 1024 * 1024 + 123);
  for (int mode = 1; mode <= 3; ++mode) {
    StreamEncoding encoding;
    encoding.zstd = (mode & 1) != 0;
    encoding.encrypted = (mode & 2) != 0;
    std::string stored = Encode(plain, encoding, kKey);
    if (encoding.zstd) {
      EXPECT_LT(stored.size(), plain.size() / 2) << mode;
    }
    std::string back;
    EXPECT_EQ(Decode(stored, encoding, kKey, &back), "") << mode;
    EXPECT_TRUE(back == plain) << mode;
  }
  // An empty stream and one exactly one chunk long.
  for (size_t size : {size_t(0), size_t(1) << 20}) {
    std::string stored = Encode(Sample(size), Both(), kKey);
    std::string back;
    EXPECT_EQ(Decode(stored, Both(), kKey, &back), "") << size;
    EXPECT_EQ(back.size(), size);
  }
}

TEST(StreamCodec, DamageToAnEncryptedStreamIsRefused) {
  StreamEncoding encrypted;
  encrypted.encrypted = true;
  const std::string plain = Sample(3 * 1024 * 1024 + 100);  // four chunks
  const std::string stored = Encode(plain, encrypted, kKey);
  const size_t header = 40;
  const size_t chunk = 5 + (1 << 20) + 16;
  std::string flipped = stored;
  flipped[header + chunk + 5000] ^= 1;
  std::string swapped = stored.substr(0, header) + stored.substr(header + chunk, chunk) +
                        stored.substr(header, chunk) + stored.substr(header + 2 * chunk);
  const struct {
    const char* what;
    std::string bytes;
    std::string key;
    const char* reason;
  } cases[] = {
      {"wrong key", stored, std::string(32, 'x'), "wrong key"},
      {"flipped byte", flipped, kKey, "chunk 1 fails authentication"},
      {"chunks swapped", swapped, kKey, "chunk 0 fails authentication"},
      {"cut after a chunk", stored.substr(0, header + 2 * chunk), kKey, "truncated"},
      {"cut inside a chunk", stored.substr(0, stored.size() - 7), kKey, "truncated"},
      {"bytes added", stored + "x", kKey, "after its last chunk"},
      {"last chunk dropped", stored.substr(0, header + 3 * chunk), kKey, "truncated"},
      {"no header", stored.substr(header), kKey, "not encrypted by xbagent"},
      {"another backup's chunk", stored.substr(0, header + chunk) +
           Encode(plain, encrypted, kKey).substr(header + chunk), kKey, "fails authentication"},
  };
  for (const auto& c : cases) {
    std::string back;
    std::string reason = Decode(c.bytes, encrypted, c.key, &back);
    EXPECT_NE(reason.find(c.reason), std::string::npos) << c.what << ": " << reason;
  }
}

TEST(StreamCodec, ATruncatedCompressedStreamIsRefused) {
  StreamEncoding compressed;
  compressed.zstd = true;
  std::string stored = Encode(Sample(1 << 20), compressed, kKey);
  std::string back;
  EXPECT_NE(Decode(stored.substr(0, stored.size() / 2), compressed, kKey, &back).find("truncated"),
            std::string::npos);
  EXPECT_NE(Decode("", compressed, kKey, &back).find("truncated"), std::string::npos);
}

TEST(StreamCodec, KeysAreThirtyTwoBytesRawOrBase64) {
  const std::string raw = Sample(32);
  EXPECT_EQ(ParseKey(raw, "k"), raw);
  // openssl rand -base64 32 writes 44 characters and a newline.
  EXPECT_EQ(ParseKey("a2tra2tra2tra2tra2tra2tra2tra2tra2tra2tra2s=\n", "k"), kKey);
  for (const std::string& bad :
       {std::string(), std::string(31, 'a'), std::string(33, 'a'),
        std::string("a2tra2tra2tra2tra2tra2tra2tra2tra2tra2tra2s"),   // no padding
        std::string("a2tra2tra2tra2tra2tra2tra2tra2tra2tra2tra2tra2s=")}) {  // 35 bytes
    EXPECT_THROW(ParseKey(bad, "k"), Failure) << bad;
  }
  try {
    ParseKey("short", "the key file K");
  } catch (const Failure& failure) {
    EXPECT_NE(std::string(failure.what()).find("head -c 32 /dev/urandom"), std::string::npos);
  }
}

TEST(StreamCodec, CompressionLevelsAreChecked) {
  StreamEncoding encoding;
  ParseCompression("zstd", &encoding);
  EXPECT_TRUE(encoding.zstd);
  EXPECT_EQ(encoding.zstdLevel, kDefaultZstdLevel);
  ParseCompression("zstd:19", &encoding);
  EXPECT_EQ(encoding.zstdLevel, 19);
  for (const char* bad : {"zstd:0", "zstd:20", "zstd:", "gzip", "zstd:3x"}) {
    EXPECT_THROW(ParseCompression(bad, &encoding), Failure) << bad;
  }
}

// A stream read from a descriptor, checked against its manifest as it goes:
// what it hands on, and the failure's text ("" when it passed).
std::string ReadChecked(const std::string& input, const ManifestSummary& manifest,
                        const std::string& key, std::string* handed) {
  handed->clear();
  FILE* file = std::tmpfile();
  EXPECT_NE(file, nullptr);
  std::fwrite(input.data(), 1, input.size(), file);
  std::fflush(file);
  std::rewind(file);
  std::string failure;
  try {
    uint64_t size = ReadCheckedInput(fileno(file), manifest, key, [&](const char* d, size_t n) {
      handed->append(d, n);
      return true;
    });
    EXPECT_EQ(size, handed->size());
  } catch (const Failure& error) {
    failure = error.what();
  }
  std::fclose(file);
  return failure;
}

TEST(StreamCodec, AStreamReadFromADescriptorIsCheckedAgainstTheManifest) {
  const std::string plain = Sample(3 << 20);
  StreamEncoding encoded;
  encoded.zstd = true;
  encoded.encrypted = true;
  struct Case {
    const char* what;
    bool encode;
    int change;  // 0 none, 1 flip a byte, 2 cut, 3 one byte more
    std::string key;
    const char* says;  // "" = accepted
  };
  const Case cases[] = {
      {"plain, good", false, 0, "", ""},
      {"plain, a byte flipped", false, 1, "", "SHA-256 of the stream on standard input"},
      {"plain, cut", false, 2, "", "cut short, or the manifest is another backup's"},
      {"plain, longer", false, 3, "", "longer than the manifest"},
      {"encoded, good", true, 0, kKey, ""},
      {"encoded, a byte flipped", true, 1, kKey, "fails authentication"},
      {"encoded, cut", true, 2, kKey, "cut short, or the manifest is another backup's"},
      {"encoded, longer", true, 3, kKey, "longer than the manifest"},
      {"encoded, wrong key", true, 0, std::string(32, 'w'), "wrong key"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ManifestSummary manifest;
    std::string stored = plain;
    if (c.encode) {
      manifest.encoding = encoded;
      stored = Encode(plain, encoded, kKey);
      manifest.rawSize = plain.size();
      manifest.rawSha256 = Sha256OfText(plain);
    }
    manifest.streamSize = stored.size();
    manifest.streamSha256 = Sha256OfText(stored);
    if (c.change == 1) stored[stored.size() / 2] ^= 0x01;
    if (c.change == 2) stored.resize(stored.size() - 100);
    if (c.change == 3) stored += "x";
    std::string handed;
    std::string failure = ReadChecked(stored, manifest, c.key, &handed);
    if (*c.says == '\0') {
      EXPECT_EQ(failure, "");
      EXPECT_TRUE(handed == plain);
    } else {
      EXPECT_NE(failure.find(c.says), std::string::npos) << failure;
    }
  }
}

}  // namespace
}  // namespace xbagent
