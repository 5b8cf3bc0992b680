// xbagent backup, encoding phase: with --compress or --encrypt-key-file the
// relay writes the tool's stream into a pipe, and a thread of this file reads
// it, compresses and encrypts it (StreamCodec), hashes what it writes and
// writes it to the stream file or standard output. Memory stays bounded: a
// pipe, zstd's window per worker, one encryption chunk.

#include <cerrno>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "../Common.h"
#include "../Fs.h"
#include "../Sha256.h"
#include "../StreamCodec.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

constexpr int kZstdWorkers = 2;
constexpr size_t kReadBytes = 1 << 20;

}  // namespace

EncodingPipe::~EncodingPipe() {
  if (writeFd_ >= 0) ::close(writeFd_);
  if (worker_.joinable()) worker_.join();
  if (readFd_ >= 0) ::close(readFd_);
}

int EncodingPipe::Start(int outFd, const StreamEncoding& encoding, const std::string& key) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) Fail("cannot create a pipe: " + ErrnoText(errno));
  readFd_ = fds[0];
  writeFd_ = fds[1];
  worker_ = std::thread([this, outFd, encoding, key] { Run(outFd, encoding, key); });
  return writeFd_;
}

void EncodingPipe::Run(int outFd, const StreamEncoding& encoding, const std::string& key) {
  Sha256 hash;
  try {
    StreamEncoder encoder(encoding, key, kZstdWorkers, [&](const char* data, size_t length) {
      int err = WriteAll(outFd, data, length);
      if (err != 0) {
        result_.error = "cannot write the encoded stream: " + ErrnoText(err);
        return false;
      }
      hash.Update(data, length);
      result_.bytes += length;
      return true;
    });
    std::vector<char> buffer(kReadBytes);
    bool going = true;
    for (;;) {
      ssize_t got = ::read(readFd_, buffer.data(), buffer.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        result_.error = "cannot read the stream to encode: " + ErrnoText(errno);
        going = false;
      }
      if (got <= 0) break;
      if (!(going = encoder.Write(buffer.data(), static_cast<size_t>(got)))) break;
    }
    if (going && !encoder.Finish() && result_.error.empty()) result_.error = "encoding stopped";
  } catch (const Failure& failure) {
    result_.error = failure.what();
  }
  if (!result_.error.empty()) {
    // The relay sees a closed pipe (EPIPE) and stops the tool.
    ::close(readFd_);
    readFd_ = -1;
    return;
  }
  result_.sha256 = hash.FinalHex();
}

EncodedStream EncodingPipe::Finish() {
  if (writeFd_ >= 0) ::close(writeFd_);
  writeFd_ = -1;
  if (worker_.joinable()) worker_.join();
  return result_;
}

}  // namespace xbagent
