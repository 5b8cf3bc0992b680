#pragma once

#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include <KaUtils/KaUtilsApi.h>

// Where a failure was raised. Borrows its texts (normally string literals);
// owns nothing. CKaError copies them, so a location may be a temporary.
struct FXCodeLocation {
  const char* pszFile;
  const char* pszFunction;
  int nLine;
};

class FXErrorPrivate;

// Result of a fallible operation: success costs a zero status and no detail;
// a failure has the top status bit set, keeps its code in the low bits and
// holds the message and the raising location in a shared detail.
// Copying is cheap and thread-compatible (the detail is immutable).
class KAUTILS_API CKaError {
 public:
  enum class Kind { None, ErrNo, Win32 };

  static const uint32_t kFailureBit = 0x80000000u;

  CKaError();  // success
  static CKaError Success();

  bool IsError() const { return (m_nStatus & kFailureBit) != 0; }
  // The failure's message text; empty for success.
  std::string AsString() const;

  uint32_t GetStatus() const { return m_nStatus; }
  // The code the failure was raised with (status without the failure bit).
  uint32_t GetCode() const { return m_nStatus & ~kFailureBit; }
  Kind GetKind() const;
  // Copies of the raising location's texts; empty for success.
  std::string GetFile() const;
  std::string GetFunction() const;
  int GetLine() const;

 private:
  friend class FXErrorUtil;
  CKaError(uint32_t nStatus, boost::shared_ptr<FXErrorPrivate> pDetail);

  uint32_t m_nStatus;
  boost::shared_ptr<FXErrorPrivate> m_pDetail;
};

// Factory for failures. The format follows printf rules; a text that came
// from elsewhere must be passed as an argument to "%s", never as the format.
class KAUTILS_API FXErrorUtil {
 public:
  // A failure whose code is an errno-style value (or a code of the caller's).
  static CKaError ErrorErrNo(const FXCodeLocation& location, int nCode,
                             const char* pszFormat, ...) KAUTILS_PRINTF(3, 4);
  // The same for codes of the Win32 family; kept apart so callers can tell.
  static CKaError ErrorWin32(const FXCodeLocation& location, unsigned int nCode,
                             const char* pszFormat, ...) KAUTILS_PRINTF(3, 4);
};
