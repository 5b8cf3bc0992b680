#pragma once

// What info and list say about a backup directory, read from its manifest
// (through LoadManifest) and its verify.json.

#include <cstdint>
#include <string>

#include "../JsonDoc.h"
#include "../Manifest.h"

namespace xbagent {

struct BackupFacts {
  std::string directory;
  ManifestSummary manifest;
  std::string startedAt;
  std::string finishedAt;
  double durationSeconds = 0;
  std::string binlogFile;  // "" when the backup has no coordinates
  uint64_t binlogPosition = 0;
  std::string gtid;
  size_t tableCount = 0;
  Json verification;  // verify.json, null when never verified
};

// Throws Failure when the manifest is missing or unreadable; an unreadable
// verify.json reads as no verification.
BackupFacts ReadBackupFacts(const std::string& directory);

// "mysql-bin.000001:1309459" or "-".
std::string Coordinates(const BackupFacts& facts);
// "OK 2024-05-01T12:00:00Z", "FAILED ...", or "never".
std::string LastVerification(const BackupFacts& facts);
// "whole server" or "database 'name'".
std::string KindText(const BackupFacts& facts);

}  // namespace xbagent
