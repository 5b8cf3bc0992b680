#include "Extract.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Commands.h"
#include "Common.h"
#include "Fs.h"
#include "Log.h"
#include "MappedSha256.h"
#include "Progress.h"
#include "Sha256.h"
#include "StopWatcher.h"
#include "StreamCodec.h"
#include "ToolOutput.h"

namespace xbagent {

namespace {

// Hands what feed produces to xbstream running on child; returns the bytes
// written before the extractor stopped reading (all of them when it read to
// the end).
uint64_t FeedStream(LibMySqlProcess::MySqlChildProcess& child, uint64_t size,
                    const StreamFeeder& feed, bool* writeFailed) {
  *writeFailed = false;
  Progress progress("extract", size);
  uint64_t fed = 0;
  feed([&](const char* data, size_t length) {
    if (StopRequested()) return false;
    if (child.WriteBuf(data, static_cast<long>(length)) != 0) {
      *writeFailed = true;
      return false;
    }
    fed += length;
    progress.Update(fed);
    return true;
  });
  return fed;
}

void CheckDigest(const std::string& expected, const std::string& streamPath,
                 const std::string& digest) {
  if (digest != expected) {
    Fail("the SHA-256 of " + streamPath + " does not match the manifest (the file is "
         "damaged or was changed): " + digest + " != " + expected);
  }
}

// An open regular file, closed on scope exit; -1 when the path is not one.
struct RegularFile {
  int fd = -1;
  explicit RegularFile(const std::string& path) {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) Close();
  }
  ~RegularFile() { Close(); }
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;
  void Close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

// The SHA-256 of the stream file's size bytes, hashed through a mapping
// where the file can be mapped, read otherwise; "" when keepGoing says stop.
std::string StreamDigest(const std::string& path, uint64_t size,
                         const std::function<bool(uint64_t)>& keepGoing) {
  RegularFile file(path);
  if (file.fd >= 0) {
    MappedHash mapped = Sha256OfMappedFile(file.fd, size, keepGoing);
    if (mapped.end == MappedHashEnd::kDone) return mapped.hex;
    if (mapped.end == MappedHashEnd::kStopped) return std::string();
    if (mapped.end == MappedHashEnd::kShrunk) {
      Fail("the stream " + path + " became shorter while it was read: something else is "
           "changing it");
    }
  }
  Sha256 hash;
  uint64_t done = 0;
  bool whole = true;
  ReadFileInChunks(path, 1 << 20, [&](const char* data, size_t length) {
    if (keepGoing && !keepGoing(done)) {
      whole = false;
      return false;
    }
    hash.Update(data, length);
    done += length;
    return true;
  });
  return whole ? hash.FinalHex() : std::string();
}

// The SHA-256 of the file; "" when cancelled or told to stop first.
std::string DigestUnlessCancelled(const std::string& path, uint64_t size,
                                  const std::atomic<bool>* cancel) {
  return StreamDigest(path, size, [cancel](uint64_t) {
    return !cancel->load(std::memory_order_relaxed) && !StopRequested();
  });
}

// The digest of a hashing that may itself have failed; "" then.
std::string DigestOrNothing(std::future<std::string>& digest) {
  try {
    return digest.get();
  } catch (...) {
    return std::string();
  }
}


// What every extraction checks once the extractor has ended: it succeeded,
// read the whole stream, and left a full backup's checkpoints file.
void JudgeExtraction(LibMySqlProcess::MySqlChildProcess& child, int exitStatus, uint64_t read,
                     uint64_t size, bool writeFailed, const std::string& staging) {
  std::string reason = ToolReason(child, "xbstream");
  if (StopRequested()) Fail("interrupted; the restore was abandoned");
  if (exitStatus != 0) {
    Fail("extracting the stream failed (xbstream exit status " + std::to_string(exitStatus) +
         ")" + (reason.empty() ? std::string() : ": " + reason));
  }
  if (writeFailed || read != size) {
    Fail("the extractor stopped reading after " + std::to_string(read) + " of " +
         std::to_string(size) + " bytes" + (reason.empty() ? std::string() : ": " + reason));
  }
  std::string checkpoints = JoinPath(staging, kCheckpointsFile);
  if (!PathExists(checkpoints)) {
    Fail(std::string("the extracted backup has no ") + kCheckpointsFile +
         ": the stream was incomplete");
  }
  std::string checkpointText = ReadSmallFile(checkpoints, 64 * 1024);
  if (checkpointText.find("full-backuped") == std::string::npos &&
      checkpointText.find("full-prepared") == std::string::npos) {
    Fail("the backup is not a full backup (" +
         Trim(checkpointText.substr(0, checkpointText.find('\n'))) + ")");
  }
}

// The extractor reads the file itself, as `xbstream -x < file` does: the
// stream costs no copy through a pipe of ours. It reads a copy of our
// descriptor, so that descriptor's offset says how far it read.
void ExtractFile(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                 int fd, uint64_t size, const std::string& staging) {
  if (child.SetStdinDescriptor(fd) != 0) {
    Fail("cannot give the extractor its input: " + ErrnoText(child.GetLastErrNo()));
  }
  CKaError status = util.extractXtraBackup(staging);
  child.SetStdinDescriptor(-1);  // later commands get their pipe again
  if (status.IsError()) Fail("the extractor could not be started: " + status.AsString());
  int exitStatus = -1;
  {
    StopWatcher watch(&child);  // a stop ends the extractor
    Progress progress("extract", size);
    while ((exitStatus = child.Wait(1)) == -1 && child.GetLastErrNo() == ETIMEDOUT) {
      progress.Update(static_cast<uint64_t>(std::max<off_t>(::lseek(fd, 0, SEEK_CUR), 0)));
    }
  }
  const off_t read = ::lseek(fd, 0, SEEK_CUR);
  JudgeExtraction(child, exitStatus, read < 0 ? 0 : static_cast<uint64_t>(read), size, false,
                  staging);
}

}  // namespace

StagingGuard::~StagingGuard() {
  if (released_) return;
  if (created_) {
    RemoveTree(path_);
    return;
  }
  // It existed (empty) before: leave it empty again.
  RemoveContents(path_);
}

bool CheckFreshDirectory(const std::string& path, const std::string& role) {
  if (!PathExists(path)) {
    if (!IsDirectory(DirName(path))) {
      Fail(role + " " + path + ": parent directory " + DirName(path) + " does not exist");
    }
    return false;
  }
  if (!IsDirectory(path)) Fail(role + " " + path + " exists and is not a directory");
  if (!IsEmptyDirectory(path)) Fail(role + " " + path + " is not empty");
  return true;
}

uint64_t CheckStreamSize(const ManifestSummary& manifest, const std::string& streamPath) {
  uint64_t size = FileSize(streamPath);
  if (size < manifest.streamSize) {
    Fail("the stream " + streamPath + " is truncated: " + std::to_string(size) + " of " +
         std::to_string(manifest.streamSize) + " bytes");
  }
  if (size > manifest.streamSize) {
    Fail("the stream " + streamPath + " is longer than recorded: " + std::to_string(size) +
         " bytes, the manifest says " + std::to_string(manifest.streamSize));
  }
  return size;
}

uint64_t VerifyStream(const ManifestSummary& manifest, const std::string& streamPath) {
  // The stream is whole and unchanged: size first (cheap), then SHA-256.
  uint64_t size = CheckStreamSize(manifest, streamPath);
  std::string digest;
  {
    Progress progress("verify", size);
    digest = StreamDigest(streamPath, size, [&progress](uint64_t done) {
      progress.Update(done);
      return !StopRequested();
    });
  }
  if (StopRequested()) Fail("interrupted");
  CheckDigest(manifest.streamSha256, streamPath, digest);
  Log().Detail(Verbosity::kVerbose, "stream verified: " + std::to_string(size) + " bytes, " +
                                        digest);
  return size;
}

void ExtractStream(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                   const std::string& streamPath, uint64_t size, const std::string& staging,
                   const StreamEncoding& encoding, const std::string& key) {
  if (encoding.Plain()) {
    RegularFile file(streamPath);
    if (file.fd >= 0) return ExtractFile(util, child, file.fd, size, staging);
  }
  ExtractFed(util, child, size, staging, [&](const ChunkSink& sink) {
    ReadDecodedStream(streamPath, encoding, key, sink);
  });
}

void ExtractFed(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                uint64_t size, const std::string& staging, const StreamFeeder& feed) {
  CKaError status = util.extractXtraBackup(staging);
  if (status.IsError()) Fail("the extractor could not be started: " + status.AsString());
  bool writeFailed = false;
  uint64_t fed = 0;
  StopWatcher watch(&child);  // the extractor may stop reading, or stall silently
  try {
    fed = FeedStream(child, size, feed, &writeFailed);
  } catch (const Failure&) {
    child.CloseInput();
    child.Wait(0);
    throw;
  }
  // A partial stream must not be extracted to its end: stop the extractor.
  if (StopRequested()) child.Kill(SIGTERM);
  child.CloseInput();
  JudgeExtraction(child, child.Wait(0), fed, size, writeFailed, staging);
}

StreamCheck::StreamCheck(const ManifestSummary& manifest, std::string streamPath, uint64_t size)
    : expected_(manifest.streamSha256), path_(std::move(streamPath)), size_(size) {
  // The hash reads the file (from the page cache) while the caller works.
  digest_ = std::async(std::launch::async, DigestUnlessCancelled, path_, size_, &cancel_);
}

StreamCheck::~StreamCheck() {
  cancel_ = true;
  if (digest_.valid()) digest_.wait();
}

void StreamCheck::Check() {
  std::string got = digest_.get();
  if (StopRequested()) Fail("interrupted; the restore was abandoned");
  CheckDigest(expected_, path_, got);
  Log().Detail(Verbosity::kVerbose, "stream verified: " + std::to_string(size_) + " bytes, " + got);
}

void StreamCheck::BlameDamage() {
  if (!digest_.valid()) return;
  if (StopRequested()) cancel_ = true;
  std::string got = DigestOrNothing(digest_);
  if (!got.empty()) CheckDigest(expected_, path_, got);
}

std::unique_ptr<StreamCheck> ExtractWhileChecking(XtraBackup::XtraBackupUtil& util,
                                                  LibMySqlProcess::MySqlChildProcess& child,
                                                  const ManifestSummary& manifest,
                                                  const std::string& streamPath,
                                                  const std::string& staging) {
  const uint64_t size = CheckStreamSize(manifest, streamPath);
  auto check = std::make_unique<StreamCheck>(manifest, streamPath, size);
  try {
    ExtractStream(util, child, streamPath, size, staging);
  } catch (const Failure&) {
    check->BlameDamage();
    throw;
  }
  return check;
}

void VerifyAndExtractStream(XtraBackup::XtraBackupUtil& util,
                            LibMySqlProcess::MySqlChildProcess& child,
                            const ManifestSummary& manifest, const std::string& streamPath,
                            const std::string& staging) {
  ExtractWhileChecking(util, child, manifest, streamPath, staging)->Check();
}

}  // namespace xbagent
