#pragma once

// Logging and failure helpers shared by every operation of XtraBackupUtil.
// An operation names itself once, by its signature text; that text goes with
// every log write and every failure the operation raises.

#include <KaUtils/CKaError.h>
#include <LogWriter/LogWriterInterface.h>

namespace XtraBackup {
namespace detail {

// Every failure the library raises carries this code.
constexpr int kXtraBackupErrorCode = 1627;
// File name recorded in every failure's code location.
constexpr const char* kCodeLocationFile = "XtraBackupUtil";

// Only used to let the compiler check a log call's format against its
// arguments; never called.
void CheckLogFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

class OperationLog {
 public:
  explicit constexpr OperationLog(const char* signature) : signature_(signature) {}

  const char* Signature() const { return signature_; }
  FXCodeLocation At(int line) const { return FXCodeLocation{kCodeLocationFile, signature_, line}; }

  // Writes a message of `level` when the host's writer exists and its current
  // level is at least `level` (the level is asked anew on every call).
  template <typename... Args>
  void Write(int level, int line, const char* format, Args... args) const {
    boost::shared_ptr<CLogWriterInterface> writer = g_ptrLogWriter;
    if (!writer || writer->GetLogLevel() < level) return;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
    writer->WriteLog(level, signature_, static_cast<unsigned int>(line), 0, 0, format, args...);
#pragma GCC diagnostic pop
  }

 private:
  const char* signature_;
};

}  // namespace detail
}  // namespace XtraBackup

// Log through an OperationLog; the format is checked at the call site.
#define XB_LOG(log, level, ...)                              \
  do {                                                       \
    if (false) ::XtraBackup::detail::CheckLogFormat(__VA_ARGS__); \
    (log).Write((level), __LINE__, __VA_ARGS__);             \
  } while (false)

// A failure with the library's code, raised at the calling line.
#define XB_FAIL(log, ...)                                                         \
  FXErrorUtil::ErrorErrNo((log).At(__LINE__), ::XtraBackup::detail::kXtraBackupErrorCode, \
                          __VA_ARGS__)
