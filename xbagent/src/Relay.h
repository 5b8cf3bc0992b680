#pragma once

// The stream relay of a backup: the tool's standard output goes to a file
// or to our standard output, hashed (SHA-256) and scanned on the way, while
// the tool's standard error is read as it comes.
//
// When hashing, two threads share the work so hashing does not slow the
// stream: this thread reads the tool's output into one of a few 1 MiB
// buffers; a worker scans, hashes and writes the filled buffers in order.
// Handing the stream to an encoder, a third thread hashes the same buffers
// while the worker feeds the encoder (16 buffers, so the hash can run ahead
// of an encoder that takes its input in jobs). Without hashing, this thread
// scans and writes each buffer itself.

#include <cstdint>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "StreamCodec.h"
#include "ToolOutput.h"
#include "XbStream.h"

namespace xbagent {

struct RelayResult {
  uint64_t bytes = 0;       // bytes written out
  std::string sha256;       // "" when not hashed
  int readErrno = 0;        // reading the tool's output failed
  int writeErrno = 0;       // writing our output failed
  bool stopped = false;     // a stop signal arrived
  int exitStatus = -1;      // the tool's, from Wait
};

// Relays until the tool's output ends (or our side fails, or a stop signal
// arrived: then the tool and what it started get SIGTERM), then waits for the tool and collects the rest of
// its standard error into toolErrors.
RelayResult RelayStream(LibMySqlProcess::MySqlChildProcess& child, int outFd, bool hash,
                        XbStreamScanner& scanner, ToolOutput& toolErrors);

// As RelayStream with hashing, but the worker hands each buffer to sink
// (an encoder) instead of writing it: no pipe between the relay and the
// encoder. A sink returning false counts as a write failure (EPIPE).
RelayResult RelayStreamTo(LibMySqlProcess::MySqlChildProcess& child, const ChunkSink& sink,
                          XbStreamScanner& scanner, ToolOutput& toolErrors);

// The tool writes the stream into fileFd itself (the file given to it as
// its standard output, opened for reading and writing): this follows the
// file as it grows, scanning and hashing what the tool wrote, until the tool
// has exited and every byte it wrote was read. The stream then costs the
// tool no pipe; a read failure or a stop signal stops the tool as above. The
// result counts and hashes the file's bytes; writeErrno stays 0 (the tool
// itself fails when it cannot write). What was read is written out behind
// the follower at the idle I/O priority, which the calling thread has only
// while this runs.
RelayResult FollowStreamFile(LibMySqlProcess::MySqlChildProcess& child, int fileFd,
                             XbStreamScanner& scanner, ToolOutput& toolErrors);

// Whether fd is a pipe (TeeStream's output).
bool IsPipe(int fd);

// The tool writes its stream into a pipe of ours (toolFd, the read end;
// the tool was given the write end as its standard output), and our output
// outFd is a pipe too: tee(2) duplicates each stretch of the stream into
// outFd without a copy through this process, then the same bytes are read
// once to be scanned and hashed, as RelayStream does. Ends as RelayStream
// does (also when the tool has exited and a descendant keeps the pipe open).
RelayResult TeeStream(LibMySqlProcess::MySqlChildProcess& child, int toolFd, int outFd, bool hash,
                      XbStreamScanner& scanner, ToolOutput& toolErrors);

// Reads whatever standard error the tool has written so far (never blocks).
void DrainToolErrors(LibMySqlProcess::MySqlChildProcess& child, ToolOutput& toolErrors);

}  // namespace xbagent
