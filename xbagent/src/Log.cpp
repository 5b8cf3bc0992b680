#include "Log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "Common.h"
#include "Fs.h"

// The utility library logs through this handle (main sets it). It must stay
// visible to the shared libraries that read it, whatever the build's default
// visibility.
__attribute__((visibility("default"))) boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

namespace xbagent {

namespace {

constexpr size_t kFlushBytes = 64 * 1024;

// "startStream" from "CKaError XtraBackup::XtraBackupUtil::startStream(std::string, ...)".
std::string ShortFunctionName(const char* signature) {
  if (signature == nullptr) return "?";
  std::string text(signature);
  size_t paren = text.find('(');
  if (paren != std::string::npos) text.erase(paren);
  size_t colon = text.rfind("::");
  if (colon != std::string::npos) text.erase(0, colon + 2);
  size_t space = text.rfind(' ');
  if (space != std::string::npos) text.erase(0, space + 1);
  return text.empty() ? std::string("?") : text;
}

std::string TimePrefix() {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm parts;
  ::localtime_r(&now.tv_sec, &parts);
  char text[48];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld ", parts.tm_hour, parts.tm_min,
                parts.tm_sec, now.tv_nsec / 1000000L);
  return text;
}

}  // namespace

AgentLog::AgentLog() { buffer_.reserve(kFlushBytes + 4096); }

AgentLog::~AgentLog() {
  Flush();
  if (ownsLogFd_) ::close(logFd_);
}

void AgentLog::Configure(Verbosity verbosity, const std::string& logFile) {
  verbosity_ = verbosity;
  detailLevel_ = verbosity;
  if (!logFile.empty()) {
    int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) UsageFail("cannot open log file " + logFile + ": " + ErrnoText(errno));
    Flush();
    if (ownsLogFd_) ::close(logFd_);
    logFd_ = fd;
    ownsLogFd_ = true;
    // A log file gets the details even without -v.
    if (detailLevel_ < Verbosity::kVerbose) detailLevel_ = Verbosity::kVerbose;
  }
  switch (detailLevel_) {
    case Verbosity::kQuiet:
    case Verbosity::kNormal:
      libraryLevel_ = -100;
      break;
    case Verbosity::kVerbose:
      libraryLevel_ = 0;
      break;
    case Verbosity::kDebug:
      libraryLevel_ = 2;
      break;
    case Verbosity::kTrace:
      libraryLevel_ = 100;
      break;
  }
}

void AgentLog::WriteLog(int nLevel, const char* pszFunction, unsigned int nLine, int, int,
                        const char* pszFormat, ...) {
  if (nLevel > libraryLevel_ || pszFormat == nullptr) return;
  char stackText[1024];
  va_list args;
  va_start(args, pszFormat);
  int needed = std::vsnprintf(stackText, sizeof stackText, pszFormat, args);
  va_end(args);
  if (needed < 0) return;
  std::string message;
  if (static_cast<size_t>(needed) < sizeof stackText) {
    message.assign(stackText, static_cast<size_t>(needed));
  } else {
    std::vector<char> large(static_cast<size_t>(needed) + 1);
    va_start(args, pszFormat);
    std::vsnprintf(large.data(), large.size(), pszFormat, args);
    va_end(args);
    message.assign(large.data(), static_cast<size_t>(needed));
  }
  Append(TimePrefix() + "library " + ShortFunctionName(pszFunction) + ":" +
         std::to_string(nLine) + " [" + std::to_string(nLevel) + "] " + message);
}

void AgentLog::Error(const std::string& text) {
  if (ownsLogFd_) Append(TimePrefix() + "error: " + text);
  Flush();
  WriteStderr(text + "\n");
}

void AgentLog::Notice(const std::string& text) {
  if (ownsLogFd_) Append(TimePrefix() + text);
  if (verbosity_ == Verbosity::kQuiet) return;
  Flush();
  WriteStderr(text + "\n");
}

void AgentLog::Detail(Verbosity level, const std::string& text) {
  if (detailLevel_ < level) return;
  Append(TimePrefix() + text);
}

void AgentLog::Status(const std::string& text) {
  if (verbosity_ == Verbosity::kQuiet) return;
  Flush();
  WriteStderr("\r" + text + "\033[K");
  statusShown_ = true;
}

void AgentLog::ClearStatus() {
  if (!statusShown_) return;
  statusShown_ = false;
  std::string erase = "\r\033[K";
  WriteAll(2, erase.data(), erase.size());
}

void AgentLog::Append(const std::string& line) {
  buffer_ += line;
  if (buffer_.empty() || buffer_.back() != '\n') buffer_ += '\n';
  // Flushed when full, and at least twice a second so a watcher sees progress.
  if (buffer_.size() >= kFlushBytes || MonotonicSeconds() - lastFlush_ >= 0.5) Flush();
}

void AgentLog::Flush() {
  lastFlush_ = MonotonicSeconds();
  if (buffer_.empty()) return;
  if (logFd_ == 2) ClearStatus();
  WriteAll(logFd_, buffer_.data(), buffer_.size());
  buffer_.clear();
}

namespace {

boost::shared_ptr<AgentLog>& Instance() {
  static boost::shared_ptr<AgentLog> instance(new AgentLog());
  return instance;
}

}  // namespace

AgentLog& Log() { return *Instance(); }

boost::shared_ptr<CLogWriterInterface> LogHandle() { return Instance(); }

void AgentLog::WriteStderr(const std::string& text) {
  ClearStatus();
  WriteAll(2, text.data(), text.size());
}

}  // namespace xbagent
