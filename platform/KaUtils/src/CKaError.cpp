#include <KaUtils/CKaError.h>

#include <cstdarg>

#include <boost/make_shared.hpp>

#include <KaUtils/FXString.h>

class FXErrorPrivate {
 public:
  FXErrorPrivate(CKaError::Kind kind, const FXCodeLocation& location, std::string message)
      : kind_(kind),
        file_(location.pszFile ? location.pszFile : ""),
        function_(location.pszFunction ? location.pszFunction : ""),
        line_(location.nLine),
        message_(std::move(message)) {}

  CKaError::Kind kind_;
  std::string file_;
  std::string function_;
  int line_;
  std::string message_;
};

CKaError::CKaError() : m_nStatus(0) {}

CKaError::CKaError(uint32_t nStatus, boost::shared_ptr<FXErrorPrivate> pDetail)
    : m_nStatus(nStatus), m_pDetail(std::move(pDetail)) {}

CKaError CKaError::Success() { return CKaError(); }

std::string CKaError::AsString() const { return m_pDetail ? m_pDetail->message_ : std::string(); }

CKaError::Kind CKaError::GetKind() const { return m_pDetail ? m_pDetail->kind_ : Kind::None; }

std::string CKaError::GetFile() const { return m_pDetail ? m_pDetail->file_ : std::string(); }

std::string CKaError::GetFunction() const {
  return m_pDetail ? m_pDetail->function_ : std::string();
}

int CKaError::GetLine() const { return m_pDetail ? m_pDetail->line_ : 0; }

CKaError FXErrorUtil::ErrorErrNo(const FXCodeLocation& location, int nCode, const char* pszFormat,
                                 ...) {
  va_list args;
  va_start(args, pszFormat);
  std::string message = pszFormat ? FXString::FormatV(pszFormat, args) : std::string();
  va_end(args);
  return CKaError(CKaError::kFailureBit | static_cast<uint32_t>(nCode),
                  boost::make_shared<FXErrorPrivate>(CKaError::Kind::ErrNo, location,
                                                     std::move(message)));
}

CKaError FXErrorUtil::ErrorWin32(const FXCodeLocation& location, unsigned int nCode,
                                 const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::string message = pszFormat ? FXString::FormatV(pszFormat, args) : std::string();
  va_end(args);
  return CKaError(CKaError::kFailureBit | nCode,
                  boost::make_shared<FXErrorPrivate>(CKaError::Kind::Win32, location,
                                                     std::move(message)));
}
