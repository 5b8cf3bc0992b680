#pragma once

// The first half of every restore: check the stream file against its
// manifest, extract it into an empty staging directory through the utility
// library, and check the result is a complete full backup.

#include <cstdint>
#include <functional>
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

// A plain (not encoded) stream: checks its size, then extracts it as
// ExtractStream does while its SHA-256 is computed alongside, from the same
// file. A digest other than the manifest's fails (saying so even when the
// extraction failed too) after the extractor has ended, so the caller's
// StagingGuard throws the extracted files away; nothing outside the staging
// directory is touched before both are done.
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
