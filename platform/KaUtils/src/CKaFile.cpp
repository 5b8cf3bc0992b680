#include <KaUtils/CKaFile.h>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

FXCodeLocation Here(const char* function, int line) { return FXCodeLocation{"CKaFile", function, line}; }

}  // namespace

CKaFile::CKaFile() : m_fd(-1) {}

CKaFile::~CKaFile() { Close(); }

void CKaFile::Close() {
  if (m_fd >= 0) {
    ::close(m_fd);  // never retried: Linux releases the descriptor even on EINTR
    m_fd = -1;
  }
}

CKaError CKaFile::Open(const char* path, int nFlags, int /*nShare*/) {
  Close();
  if (path == nullptr) {
    return FXErrorUtil::ErrorErrNo(Here(__func__, __LINE__), EINVAL, "open: no path given");
  }
  if (nFlags != kOpenRead) {
    return FXErrorUtil::ErrorErrNo(Here(__func__, __LINE__), EINVAL,
                                   "open [%s]: unsupported flags %d", path, nFlags);
  }
  // Non-blocking, so that a FIFO or a device at the path cannot hang the open;
  // only a regular file is kept.
  int fd;
  do {
    fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int err = errno;
    return FXErrorUtil::ErrorErrNo(Here(__func__, __LINE__), err, "open [%s]: %s", path,
                                   std::strerror(err));
  }
  struct stat st;
  int err = ::fstat(fd, &st) != 0 ? errno : (S_ISREG(st.st_mode) ? 0 : EINVAL);
  if (err != 0) {
    ::close(fd);
    return FXErrorUtil::ErrorErrNo(Here(__func__, __LINE__), err, "open [%s]: %s", path,
                                   err == EINVAL ? "not a regular file" : std::strerror(err));
  }
  m_fd = fd;
  return CKaError::Success();
}

CKaError CKaFile::Read(void* pBuffer, unsigned int nSize, unsigned int* pnRead) {
  if (pnRead) *pnRead = 0;
  if (m_fd < 0) {
    return FXErrorUtil::ErrorErrNo(Here(__func__, __LINE__), EBADF, "read: file is not open");
  }
  char* out = static_cast<char*>(pBuffer);
  unsigned int total = 0;
  while (total < nSize) {
    ssize_t got = ::read(m_fd, out + total, nSize - total);
    if (got < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      return FXErrorUtil::ErrorErrNo(Here(__func__, __LINE__), err, "read: %s",
                                     std::strerror(err));
    }
    if (got == 0) break;
    total += static_cast<unsigned int>(got);
  }
  if (pnRead) *pnRead = total;
  return CKaError::Success();
}
