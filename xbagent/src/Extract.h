#pragma once

// The first half of every restore: check the stream file against its
// manifest, extract it into an empty staging directory through the utility
// library, and check the result is a complete full backup.

#include <atomic>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <string>

#include <XtraBackup/XtraBackupUtil.h>

#include "Manifest.h"

namespace xbagent {

// A staging directory that is emptied (or removed, when we created it) if the
// restore does not finish.
class StagingGuard {
 public:
  StagingGuard(std::string path, bool created) : path_(std::move(path)), created_(created) {}
  ~StagingGuard();
  StagingGuard(const StagingGuard&) = delete;
  StagingGuard& operator=(const StagingGuard&) = delete;
  void Release() { released_ = true; }

 private:
  std::string path_;
  bool created_;
  bool released_ = false;
};

// Directory that must not exist or must be empty; returns whether it exists.
bool CheckFreshDirectory(const std::string& path, const std::string& role);

// Checks the stream's size and SHA-256 against the manifest (with a progress
// line); throws Failure when they differ. Returns the size.
uint64_t VerifyStream(const ManifestSummary& manifest, const std::string& streamPath);

// Checks the stream's size against the manifest; throws Failure when it
// differs. Returns the size.
uint64_t CheckStreamSize(const ManifestSummary& manifest, const std::string& streamPath);

// The SHA-256 of a plain stream file, computed on a thread of its own from
// construction on, so that it runs alongside the work that follows in the
// staging directory (extraction, prepare). Check() must pass before anything
// outside the staging directory relies on the stream. Destroyed unchecked, it
// stops the hashing and waits for it.
class StreamCheck {
 public:
  StreamCheck(const ManifestSummary& manifest, std::string streamPath, uint64_t size);
  ~StreamCheck();
  StreamCheck(const StreamCheck&) = delete;
  StreamCheck& operator=(const StreamCheck&) = delete;

  // Waits for the digest; throws Failure when it differs from the manifest's
  // or a stop was requested meanwhile.
  void Check();
  // After another failure of the work alongside: throws Failure naming the
  // damage when the digest differs (a damaged file is the cause worth
  // naming); returns otherwise, and when interrupted.
  void BlameDamage();

 private:
  std::string expected_;
  std::string path_;
  uint64_t size_;
  std::atomic<bool> cancel_{false};
  std::future<std::string> digest_;
};

// A plain (not encoded) stream whose size was checked: extracts it as
// ExtractStream does while its SHA-256 is computed alongside, from the same
// file. Returns the check still running, to be passed (Check()) once the
// caller's other work in the staging directory is done; an extraction that
// fails names a digest other than the manifest's first. Nothing outside the
// staging directory is touched.
std::unique_ptr<StreamCheck> ExtractWhileChecking(XtraBackup::XtraBackupUtil& util,
                                                  LibMySqlProcess::MySqlChildProcess& child,
                                                  const ManifestSummary& manifest,
                                                  const std::string& streamPath,
                                                  const std::string& staging);

// ExtractWhileChecking with the check passed before it returns: a digest
// other than the manifest's fails after the extractor has ended, so the
// caller's StagingGuard throws the extracted files away.
void VerifyAndExtractStream(XtraBackup::XtraBackupUtil& util,
                            LibMySqlProcess::MySqlChildProcess& child,
                            const ManifestSummary& manifest, const std::string& streamPath,
                            const std::string& staging);

// Extracts the stream file into the empty directory staging with
// util.extractXtraBackup, feeding it through child; checks the extractor
// succeeded, read everything, and left a full backup's checkpoints file.
// An encoded stream is decoded on the way (size is then the decoded size).
void ExtractStream(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                   const std::string& streamPath, uint64_t size, const std::string& staging,
                   const StreamEncoding& encoding = StreamEncoding(),
                   const std::string& key = std::string());

// Hands the tool's stream to its sink, piece by piece, until the end or
// until the sink returns false; throws Failure when the stream is bad.
using StreamFeeder = std::function<void(const ChunkSink&)>;

// ExtractStream for a stream that feed produces; size is its expected length.
void ExtractFed(XtraBackup::XtraBackupUtil& util, LibMySqlProcess::MySqlChildProcess& child,
                uint64_t size, const std::string& staging, const StreamFeeder& feed);

}  // namespace xbagent
