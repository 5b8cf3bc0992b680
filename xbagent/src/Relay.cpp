#include "Relay.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include "Commands.h"
#include "Common.h"
#include "Fs.h"
#include "IoPriority.h"
#include "Progress.h"
#include "Sha256.h"

namespace xbagent {

namespace {

constexpr size_t kBufferBytes = 1 << 20;
constexpr size_t kBuffers = 4;
// With a hasher of its own beside an encoder: the encoder takes its input in
// jobs of several MiB and stalls between them, so the hasher needs room to
// run ahead (measured: a compressed backup took 1.04 times as long as the
// tool piped into zstd with 8 buffers, 1.02 with 16, 1.12 with one thread
// doing both).
constexpr size_t kApartBuffers = 16;
constexpr size_t kErrBufferBytes =
    static_cast<size_t>(LibMySqlProcess::MySqlChildProcess::kErrRetainBytes);
constexpr double kErrCheckSeconds = 0.02;
// How long the follower of a stream file pauses when it has caught up with
// the tool: short against the time the tool takes to write a buffer's worth.
constexpr long kFollowPauseNanoseconds = 2 * 1000 * 1000;
constexpr size_t kCatchUpBuffers = 16;
// How much of the stream file the follower has read before it starts
// writing that stretch out.
constexpr uint64_t kWritebackBatchBytes = 8 << 20;

// A fixed ring of buffers passed from the reader to one or two consumers
// (the writer, and a hasher of its own where the writer has other heavy
// work): each consumer takes every filled buffer in order, and a buffer is
// filled again only once every consumer has released it.
class BufferRing {
 public:
  BufferRing(size_t consumers, size_t buffers)
      : consumers_(consumers), buffers_(buffers), lengths_(buffers) {
    for (auto& buffer : buffers_) buffer.reset(new char[kBufferBytes]);
  }

  // Reader: a free buffer to fill, or null once a consumer has given up.
  char* AcquireFree() {
    std::unique_lock<std::mutex> lock(mutex_);
    freed_.wait(lock, [this] { return published_ - Oldest() < buffers_.size() || failed_; });
    if (failed_) return nullptr;
    return buffers_[Slot(published_)].get();
  }
  void Publish(size_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    lengths_[Slot(published_)] = length;
    ++published_;
    filled_.notify_all();
  }
  void Close() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    filled_.notify_all();
  }

  // Consumer: its next filled buffer, or null at the end or once a
  // consumer has given up.
  const char* AcquireFilled(size_t consumer, size_t* length) {
    std::unique_lock<std::mutex> lock(mutex_);
    filled_.wait(lock, [&] { return consumed_[consumer] < published_ || closed_ || failed_; });
    if (failed_ || consumed_[consumer] == published_) return nullptr;
    *length = lengths_[Slot(consumed_[consumer])];
    return buffers_[Slot(consumed_[consumer])].get();
  }
  void Release(size_t consumer) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++consumed_[consumer];
    freed_.notify_one();
  }
  void Failed() {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    freed_.notify_one();
    filled_.notify_all();
  }

 private:
  size_t Slot(uint64_t sequence) const { return static_cast<size_t>(sequence % buffers_.size()); }
  uint64_t Oldest() const {
    return consumers_ == 1 ? consumed_[0] : std::min(consumed_[0], consumed_[1]);
  }

  const size_t consumers_;
  std::vector<std::unique_ptr<char[]>> buffers_;
  std::vector<size_t> lengths_;
  uint64_t published_ = 0;        // buffers filled so far
  uint64_t consumed_[2] = {0, 0};  // buffers each consumer has released
  bool closed_ = false;
  bool failed_ = false;
  std::mutex mutex_;
  std::condition_variable filled_;
  std::condition_variable freed_;
};

struct WriterState {
  int outFd;
  Sha256* sha;
  XbStreamScanner* scanner;
  const ChunkSink* sink = nullptr;  // takes the bytes instead of outFd
  uint64_t written = 0;
  int writeErrno = 0;
};

// Hands one buffer on: to the sink (EPIPE when it stopped) or into outFd.
int Hand(const WriterState& state, const char* data, size_t length) {
  if (state.sink) return (*state.sink)(data, length) ? 0 : EPIPE;
  // -1: the bytes already went out (TeeStream), they are only looked at.
  return state.outFd < 0 ? 0 : WriteAll(state.outFd, data, length);
}

// Scans, hashes and hands on one filled buffer; false once the output failed.
bool WriteBuffer(WriterState* state, const char* data, size_t length) {
  state->scanner->Feed(data, length);
  if (state->sha) state->sha->Update(data, length);
  int err = Hand(*state, data, length);
  if (err != 0) {
    state->writeErrno = err;
    return false;
  }
  state->written += length;
  return true;
}

void WriteBuffers(BufferRing* ring, WriterState* state) {
  for (;;) {
    size_t length = 0;
    const char* data = ring->AcquireFilled(0, &length);
    if (data == nullptr) return;
    if (!WriteBuffer(state, data, length)) {
      ring->Failed();
      return;
    }
    ring->Release(0);
  }
}

void WriterLoop(BufferRing* ring, WriterState* state) noexcept {
  try {
    WriteBuffers(ring, state);
  } catch (...) {
    // Hashing failed (it does not, short of running out of memory): treat
    // it as an output failure so the backup fails.
    state->writeErrno = EIO;
    ring->Failed();
  }
}

// The hasher of a ring with two consumers; *failed is set when hashing failed.
void HashLoop(BufferRing* ring, Sha256* sha, bool* failed) noexcept {
  try {
    for (;;) {
      size_t length = 0;
      const char* data = ring->AcquireFilled(1, &length);
      if (data == nullptr) return;
      sha->Update(data, length);
      ring->Release(1);
    }
  } catch (...) {
    *failed = true;
    ring->Failed();
  }
}

// Where the reading loop puts what it read. With hashing, a writer thread
// takes filled buffers from a ring, so hashing runs alongside the reading.
// Without it, the reading thread scans and writes each buffer itself: a
// third busy thread would only compete with the tool for the CPU (measured:
// a stream to /dev/null took a quarter longer through the ring). Where the
// writer has heavy work of its own (an encoder), the hash gets a thread of
// its own too, so the two run side by side instead of one after the other.
class Delivery {
 public:
  // apartSha: hashed on a thread of its own (the writer's state then has none).
  Delivery(bool threaded, WriterState* state, Sha256* apartSha = nullptr) : state_(state) {
    if (!threaded) {
      buffer_.reset(new char[kBufferBytes]);
      return;
    }
    ring_.reset(new BufferRing(apartSha ? 2 : 1, apartSha ? kApartBuffers : kBuffers));
    if (apartSha) hasher_ = std::thread(HashLoop, ring_.get(), apartSha, &hashFailed_);
    writer_ = std::thread(WriterLoop, ring_.get(), state_);
  }
  // However the relay is left, the threads finish before the ring goes.
  ~Delivery() { Finish(); }

  // A buffer of kBufferBytes to read into, or null once the output failed.
  char* Acquire() { return ring_ ? ring_->AcquireFree() : buffer_.get(); }
  // Hands over what was read into the acquired buffer; false once the output failed.
  bool Deliver(size_t length) {
    if (!ring_) return WriteBuffer(state_, buffer_.get(), length);
    ring_->Publish(length);
    return true;
  }
  // Waits until everything delivered is written (and hashed).
  void Finish() {
    if (!ring_) return;
    ring_->Close();
    if (writer_.joinable()) writer_.join();
    if (hasher_.joinable()) hasher_.join();
    if (hashFailed_ && state_->writeErrno == 0) state_->writeErrno = EIO;
  }

 private:
  WriterState* state_;
  std::unique_ptr<BufferRing> ring_;
  std::thread writer_;
  std::thread hasher_;
  bool hashFailed_ = false;
  std::unique_ptr<char[]> buffer_;
};

void PauseBriefly() {
  struct timespec pause = {0, kFollowPauseNanoseconds};
  ::nanosleep(&pause, nullptr);
}

// Reads the stream file from `*offset` as far as it goes now, scanning and
// hashing it; false when reading failed (errno in *readErrno).
bool CatchUp(int fileFd, char* buffer, XbStreamScanner& scanner, Sha256& sha, uint64_t* offset,
             int* readErrno, bool* gotSome) {
  *gotSome = false;
  // At most kCatchUpBuffers at a time, so the tool's messages are read in
  // between even when the tool writes as fast as this reads.
  for (size_t round = 0; round < kCatchUpBuffers; ++round) {
    ssize_t n = ::pread(fileFd, buffer, kBufferBytes, static_cast<off_t>(*offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *readErrno = errno;
      return false;
    }
    if (n == 0) return true;
    scanner.Feed(buffer, static_cast<size_t>(n));
    sha.Update(buffer, static_cast<size_t>(n));
    *offset += static_cast<uint64_t>(n);
    *gotSome = true;
    if (static_cast<size_t>(n) < kBufferBytes) return true;
  }
  return true;
}

// Writes the stream file out behind the follower, stretch by stretch, so the
// backup's closing fdatasync finds little left to write. The writes are
// issued at the idle I/O priority (this thread's, for as long as this
// lives): where the disk's scheduler honours it, the tool's reads of the
// tablespaces and the server's own I/O go first. At the normal priority,
// 1 MiB at a time, the tool's reads waited behind them.
class BackgroundWriteback {
 public:
  explicit BackgroundWriteback(int fd)
      : fd_(fd), savedPriority_(ioprio::OfThisThread()) {
    if (savedPriority_ >= 0) ioprio::SetForThisThread(ioprio::Value(ioprio::kClassIdle, 0));
  }
  BackgroundWriteback(const BackgroundWriteback&) = delete;
  BackgroundWriteback& operator=(const BackgroundWriteback&) = delete;
  ~BackgroundWriteback() {
    if (savedPriority_ >= 0) ioprio::SetForThisThread(savedPriority_);
  }

  // The file is read up to offset: starts writing out each whole batch
  // before it (best effort; the closing fdatasync writes whatever is left).
  void ReadUpTo(uint64_t offset) {
    const uint64_t end = offset / kWritebackBatchBytes * kWritebackBatchBytes;
    if (end <= started_) return;
    ::sync_file_range(fd_, static_cast<off_t>(started_), static_cast<off_t>(end - started_),
                      SYNC_FILE_RANGE_WRITE);
    started_ = end;
  }

 private:
  const int fd_;
  const int savedPriority_;
  uint64_t started_ = 0;
};

// Waits until the pipe fd has bytes: for a read or splice of bytes just
// teed from there, which cannot find it empty.
void AwaitReadable(int fd) {
  struct pollfd in = {fd, POLLIN, 0};
  ::poll(&in, 1, -1);
}

// Reads exactly length bytes that are known to be in the pipe fd.
int ReadExactly(int fd, char* buffer, size_t length) {
  size_t done = 0;
  while (done < length) {
    ssize_t n = ::read(fd, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      AwaitReadable(fd);
      continue;
    }
    if (n <= 0) return n < 0 ? errno : EIO;
    done += static_cast<size_t>(n);
  }
  return 0;
}

// /dev/null open for writing while it lives (fd -1 when not wanted or not opened).
struct DevNull {
  explicit DevNull(bool wanted) : fd(wanted ? ::open("/dev/null", O_WRONLY | O_CLOEXEC) : -1) {}
  ~DevNull() {
    if (fd >= 0) ::close(fd);
  }
  DevNull(const DevNull&) = delete;
  DevNull& operator=(const DevNull&) = delete;
  const int fd;
};

// Takes length bytes, just teed on, out of the pipe fd for the scanner
// alone: the pieces it must see (chunk headers, paths, captured files) are
// read into buffer (kBufferBytes) and fed to it; payload it need not see is
// spliced into nullFd (/dev/null), so the stream is not copied again.
// 0 or an errno.
int PassTeed(int fd, int nullFd, size_t length, char* buffer, XbStreamScanner& scanner) {
  while (length > 0) {
    bool skippable = false;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(scanner.NextPiece(&skippable),
                                                                length));
    if (!skippable) {
      // At least a byte, so a scanner that wanted none could not stall the loop.
      const size_t take = std::min(std::max<size_t>(piece, 1), kBufferBytes);
      int err = ReadExactly(fd, buffer, take);
      if (err != 0) return err;
      scanner.Feed(buffer, take);
      length -= take;
      continue;
    }
    ssize_t n = ::splice(fd, nullptr, nullFd, nullptr, piece, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      AwaitReadable(fd);
      continue;
    }
    if (n <= 0) return n < 0 ? errno : EIO;
    scanner.Skip(static_cast<uint64_t>(n));
    length -= static_cast<size_t>(n);
  }
  return 0;
}

// Waits (briefly) until the pipe toolFd has bytes or outFd has room,
// whichever held the tee up.
void AwaitTee(int toolFd, int outFd) {
  int pending = 0;
  const bool outputFull = ::ioctl(toolFd, FIONREAD, &pending) == 0 && pending > 0;
  struct pollfd wait = {outputFull ? outFd : toolFd, static_cast<short>(outputFull ? POLLOUT : POLLIN), 0};
  ::poll(&wait, 1, static_cast<int>(kErrCheckSeconds * 1000));
}

}  // namespace

bool IsPipe(int fd) {
  struct stat info;
  return ::fstat(fd, &info) == 0 && S_ISFIFO(info.st_mode);
}

void DrainToolErrors(LibMySqlProcess::MySqlChildProcess& child, ToolOutput& toolErrors) {
  // As large as what the child object keeps, so nothing pending is dropped;
  // pages never written stay out of memory.
  static std::unique_ptr<char[]> buffer(new char[kErrBufferBytes]);
  for (;;) {
    long length = static_cast<long>(kErrBufferBytes);
    if (child.ReadErrBuf(buffer.get(), &length) != 0) return;  // nothing pending yet
    if (length <= 0) return;                                    // ended
    toolErrors.Feed(buffer.get(), static_cast<size_t>(length));
    if (static_cast<size_t>(length) < kErrBufferBytes) return;
  }
}

namespace {

// RelayStream's loop, into what state names.
RelayResult Relay(LibMySqlProcess::MySqlChildProcess& child, WriterState& state, bool threaded,
                  ToolOutput& toolErrors, Sha256* apartSha = nullptr) {
  RelayResult result;
  Delivery delivery(threaded, &state, apartSha);

  Progress progress("backup", 0);
  bool failed = false;
  uint64_t read = 0;
  double lastErrCheck = 0;
  for (;;) {
    char* buffer = delivery.Acquire();
    if (buffer == nullptr) {  // the writer failed
      failed = true;
      break;
    }
    long length = static_cast<long>(kBufferBytes);
    if (child.ReadBuf(buffer, &length) != 0) {
      int err = child.GetLastErrNo();
      if ((err == EINTR || err == EAGAIN) && !StopRequested()) continue;
      if (err != EINTR && err != EAGAIN) result.readErrno = err;
      failed = true;
      break;
    }
    if (StopRequested()) {
      result.stopped = true;
      failed = true;
      break;
    }
    if (length <= 0) break;
    read += static_cast<uint64_t>(length);
    if (!delivery.Deliver(static_cast<size_t>(length))) {
      failed = true;
      break;
    }
    // The tool's messages: read often enough that none is ever dropped,
    // without a system call per buffer.
    double now = MonotonicSeconds();
    if (now - lastErrCheck >= kErrCheckSeconds) {
      lastErrCheck = now;
      DrainToolErrors(child, toolErrors);
    }
    progress.Update(read);
  }
  delivery.Finish();
  progress.Done();
  if (StopRequested()) result.stopped = true;
  if (failed) {
    // Our side cannot take the stream any more, or we were told to stop:
    // stop the tool and everything it started.
    child.Kill(SIGTERM);
  }
  result.exitStatus = child.Wait(0);
  DrainToolErrors(child, toolErrors);
  toolErrors.Finish();
  result.bytes = state.written;
  result.writeErrno = state.writeErrno;
  return result;
}

}  // namespace

RelayResult RelayStream(LibMySqlProcess::MySqlChildProcess& child, int outFd, bool hash,
                        XbStreamScanner& scanner, ToolOutput& toolErrors) {
  std::unique_ptr<Sha256> sha(hash ? new Sha256() : nullptr);
  WriterState state{outFd, sha.get(), &scanner};
  RelayResult result = Relay(child, state, hash, toolErrors);
  if (sha) result.sha256 = sha->FinalHex();
  return result;
}

RelayResult RelayStreamTo(LibMySqlProcess::MySqlChildProcess& child, const ChunkSink& sink,
                          XbStreamScanner& scanner, ToolOutput& toolErrors) {
  Sha256 sha;
  WriterState state{-1, nullptr, &scanner, &sink};
  RelayResult result = Relay(child, state, true, toolErrors, &sha);
  result.sha256 = sha.FinalHex();
  return result;
}

RelayResult FollowStreamFile(LibMySqlProcess::MySqlChildProcess& child, int fileFd,
                             XbStreamScanner& scanner, ToolOutput& toolErrors) {
  RelayResult result;
  Sha256 sha;
  std::unique_ptr<char[]> buffer(new char[kBufferBytes]);
  Progress progress("backup", 0);
  uint64_t offset = 0;
  bool failed = false;
  bool exited = false;
  BackgroundWriteback writeback(fileFd);
  for (;;) {
    if (StopRequested()) {
      result.stopped = true;
      failed = true;
      break;
    }
    bool gotSome = false;
    if (!CatchUp(fileFd, buffer.get(), scanner, sha, &offset, &result.readErrno, &gotSome)) {
      failed = true;
      break;
    }
    writeback.ReadUpTo(offset);
    progress.Update(offset);
    // Once the tool has exited, what it wrote is all in the file: one more
    // read to its end (above) and the stream is complete.
    if (exited && !gotSome) break;
    // The tool's messages; reading them also notices (and reaps) its exit.
    DrainToolErrors(child, toolErrors);
    exited = child.GetPid() < 0;
    if (!exited && !gotSome) PauseBriefly();
  }
  progress.Done();
  if (StopRequested()) result.stopped = true;
  if (failed) child.Kill(SIGTERM);
  result.exitStatus = child.Wait(0);
  DrainToolErrors(child, toolErrors);
  toolErrors.Finish();
  result.bytes = offset;
  result.sha256 = sha.FinalHex();
  return result;
}

RelayResult TeeStream(LibMySqlProcess::MySqlChildProcess& child, int toolFd, int outFd, bool hash,
                      XbStreamScanner& scanner, ToolOutput& toolErrors) {
  RelayResult result;
  std::unique_ptr<Sha256> sha(hash ? new Sha256() : nullptr);
  WriterState state{-1, sha.get(), &scanner};
  Delivery delivery(hash, &state);
  // Where the payload nobody needs to see goes, when the stream is not hashed.
  const DevNull nullFd(!hash);
  // Hashed, every byte is read; otherwise only what the scanner must see.
  const bool readAll = hash || nullFd.fd < 0;
  Progress progress("backup", 0);
  bool failed = false;
  uint64_t teed = 0;
  double lastErrCheck = 0;
  for (;;) {
    if (StopRequested()) {
      result.stopped = true;
      failed = true;
      break;
    }
    char* buffer = delivery.Acquire();
    if (buffer == nullptr) {
      failed = true;
      break;
    }
    ssize_t n = ::tee(toolFd, outFd, kBufferBytes, SPLICE_F_NONBLOCK);
    if (n > 0) {
      int err = readAll ? ReadExactly(toolFd, buffer, static_cast<size_t>(n))
                        : PassTeed(toolFd, nullFd.fd, static_cast<size_t>(n), buffer, scanner);
      if (err != 0) {
        result.readErrno = err;
        failed = true;
        break;
      }
      teed += static_cast<uint64_t>(n);
      if (readAll && !delivery.Deliver(static_cast<size_t>(n))) {
        failed = true;
        break;
      }
      progress.Update(teed);
    } else if (n == 0) {
      break;  // the tool's output ended
    } else if (errno == EAGAIN) {
      // An empty pipe after the tool's exit: whatever still holds it open
      // is a descendant, and the stream has ended.
      int pending = 0;
      if (child.GetPid() < 0 && ::ioctl(toolFd, FIONREAD, &pending) == 0 && pending == 0) break;
      AwaitTee(toolFd, outFd);
    } else if (errno != EINTR) {
      result.writeErrno = errno;
      failed = true;
      break;
    }
    double now = MonotonicSeconds();
    if (n <= 0 || now - lastErrCheck >= kErrCheckSeconds) {
      lastErrCheck = now;
      DrainToolErrors(child, toolErrors);  // also notices the tool's exit
    }
  }
  delivery.Finish();
  progress.Done();
  if (StopRequested()) result.stopped = true;
  if (failed) child.Kill(SIGTERM);
  result.exitStatus = child.Wait(0);
  DrainToolErrors(child, toolErrors);
  toolErrors.Finish();
  result.bytes = teed;
  if (result.writeErrno == 0) result.writeErrno = state.writeErrno;
  if (sha) result.sha256 = sha->FinalHex();
  return result;
}

}  // namespace xbagent
