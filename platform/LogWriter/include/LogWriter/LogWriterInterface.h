#pragma once

#include <boost/shared_ptr.hpp>

// The host's log writer. The host defines g_ptrLogWriter; the utility
// library reads it before every log call and writes nothing while it is null.
class CLogWriterInterface {
 public:
  virtual ~CLogWriterInterface() {}

  // Writes one message: its level, the signature of the function that logs,
  // the source line, two integers the caller passes as 0, then a printf-style
  // format and its arguments.
  virtual void WriteLog(int nLevel, const char* pszFunction, unsigned int nLine, int nReserved1,
                        int nReserved2, const char* pszFormat, ...)
      __attribute__((format(printf, 7, 8))) = 0;

  // The current level: a message of level N is wanted when this is >= N.
  virtual int GetLogLevel() = 0;
};

// Declared with default visibility so the host's definition is seen by the
// shared libraries even when the host builds with hidden visibility.
extern __attribute__((visibility("default"))) boost::shared_ptr<CLogWriterInterface>
    g_ptrLogWriter;
