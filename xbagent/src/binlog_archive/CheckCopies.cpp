// A file the server has closed is checked once: the copy has the server's
// size and, when the server's own file is readable here, the same SHA-256.

#include "../Common.h"
#include "../Fs.h"
#include "../Sha256.h"
#include "ArchivePhases.h"

namespace xbagent {

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
    if (Sha256OfFile(original, nullptr, nullptr) != entry.sha256) {
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
