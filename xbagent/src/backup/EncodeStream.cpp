// xbagent backup, encoding phase: with --compress or --encrypt-key-file the
// relay's worker thread hands the tool's stream straight to the encoder
// here (StreamCodec: compression, then encryption), which hashes what it
// produces and writes it to the stream file or standard output. No pipe lies
// between the relay and the encoder, so the stream is not copied through the
// kernel twice more. Memory stays bounded: the relay's buffers, zstd's
// window per worker, one encryption chunk.

#include "../Common.h"
#include "../Fs.h"
#include "BackupPhases.h"

namespace xbagent {

namespace {

constexpr int kZstdWorkers = 2;

}  // namespace

EncodingSink::EncodingSink(int outFd, const StreamEncoding& encoding, const std::string& key)
    : outFd_(outFd), hash_(new Sha256()) {
  encoder_.reset(new StreamEncoder(encoding, key, kZstdWorkers,
                                   [this](const char* data, size_t length) {
                                     return Written(data, length);
                                   }));
}

EncodingSink::~EncodingSink() = default;

bool EncodingSink::Written(const char* data, size_t length) {
  int err = WriteAll(outFd_, data, length);
  if (err != 0) {
    result_.error = "cannot write the encoded stream: " + ErrnoText(err);
    return false;
  }
  hash_->Update(data, length);
  result_.bytes += length;
  return true;
}

bool EncodingSink::Write(const char* data, size_t length) {
  if (!result_.error.empty()) return false;
  try {
    if (encoder_->Write(data, length)) return true;
  } catch (const Failure& failure) {
    result_.error = failure.what();
  }
  if (result_.error.empty()) result_.error = "encoding stopped";
  return false;
}

EncodedStream EncodingSink::Finish() {
  if (result_.error.empty()) {
    try {
      if (!encoder_->Finish() && result_.error.empty()) result_.error = "encoding stopped";
    } catch (const Failure& failure) {
      result_.error = failure.what();
    }
  }
  if (result_.error.empty()) result_.sha256 = hash_->FinalHex();
  return result_;
}

}  // namespace xbagent
