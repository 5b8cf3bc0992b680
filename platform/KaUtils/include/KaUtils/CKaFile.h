#pragma once

#include <KaUtils/CKaError.h>
#include <KaUtils/KaUtilsApi.h>

// A file opened for reading. Closed when the object is destroyed.
class KAUTILS_API CKaFile {
 public:
  // Open flags: 0 opens an existing file read-only. Any other value fails.
  static const int kOpenRead = 0;
  // Share flags are accepted for compatibility and do not change behaviour
  // (256 is what callers pass for "shared read").
  static const int kShareRead = 256;

  CKaFile();
  ~CKaFile();
  CKaFile(const CKaFile&) = delete;
  CKaFile& operator=(const CKaFile&) = delete;

  // Opens the regular file `path` read-only and close-on-exec. Fails with the
  // errno of open(2) as code and a message naming the path, or with EINVAL
  // when the path is not a regular file (a FIFO, a device or a directory: the
  // open never waits for a writer); opening an already open object closes the
  // previous file first.
  CKaError Open(const char* path, int nFlags, int nShare);
  // Reads up to `nSize` bytes from the current position (the start after
  // Open), retrying short reads and EINTR until `nSize` bytes or end of file;
  // stores the count read in *pnRead.
  CKaError Read(void* pBuffer, unsigned int nSize, unsigned int* pnRead);
  void Close();
  bool IsOpen() const { return m_fd >= 0; }

 private:
  int m_fd;
};
