// A file the server has closed is checked once: the copy has the server's
// size and, when the server's own file is readable here, the same SHA-256,
// but for one bit. A file the server had open when it stopped (a crash)
// keeps the in-use flag of its first event set on disk; the server clears
// it in what it sends of a closed file, so the copy never has it.

#include <cstring>

#include "../Common.h"
#include "../Fs.h"
#include "../Sha256.h"
#include "ArchivePhases.h"

namespace xbagent {

namespace {

// The file's first event: after the 4-byte magic, a format description
// event (type 15) whose 2-byte flags end its 19-byte header.
constexpr size_t kFirstEventType = 4 + 4;
constexpr size_t kFirstEventFlags = 4 + 17;
constexpr unsigned char kFormatDescriptionEvent = 15;
constexpr unsigned char kInUseFlag = 0x01;  // LOG_EVENT_BINLOG_IN_USE_F

// SHA-256 of the server's own file as the server sends it.
std::string Sha256AsSent(const std::string& path) {
  Sha256 hash;
  bool first = true;
  ReadFileInChunks(path, 1 << 20, [&](const char* data, size_t length) {
    if (first && length > kFirstEventFlags) {
      std::string head(data, kFirstEventFlags + 1);
      ClearInUseFlag(&head);
      hash.Update(head.data(), head.size());
      hash.Update(data + head.size(), length - head.size());
    } else {
      hash.Update(data, length);
    }
    first = false;
    return true;
  });
  return hash.FinalHex();
}

}  // namespace

void ClearInUseFlag(std::string* head) {
  if (head->size() <= kFirstEventFlags || std::memcmp(head->data(), "\xfe" "bin", 4) != 0 ||
      static_cast<unsigned char>((*head)[kFirstEventType]) != kFormatDescriptionEvent) {
    return;
  }
  (*head)[kFirstEventFlags] = static_cast<char>((*head)[kFirstEventFlags] & ~kInUseFlag);
}

ArchivedFile CheckClosedCopy(const std::string& archiveDir, const ServerLog& server,
                             const std::string& serverLogDir) {
  const std::string copy = JoinPath(archiveDir, server.file);
  if (!PathExists(copy)) Fail("the archive has no copy of " + server.file);
  ArchivedFile entry;
  entry.file = server.file;
  entry.size = FileSize(copy);
  if (entry.size != server.size) {
    Fail("the copy of " + server.file + " has " + std::to_string(entry.size) +
         " bytes, the server's file " + std::to_string(server.size) +
         "; it is copied again from its start on the next run");
  }
  entry.sha256 = Sha256OfFile(copy, nullptr, nullptr);
  entry.checked = "size";
  const std::string original = serverLogDir.empty() ? std::string() : JoinPath(serverLogDir, server.file);
  if (!original.empty() && PathExists(original)) {
    if (Sha256AsSent(original) != entry.sha256) {
      Fail("the copy of " + server.file + " differs from the server's file; it is copied again "
           "from its start on the next run");
    }
    entry.checked = "size+sha256";
  }
  ScanLogFile(copy, &entry);
  entry.closed = true;
  return entry;
}

}  // namespace xbagent
