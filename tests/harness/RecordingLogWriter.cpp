#include "harness/Harness.h"

#include <cstdarg>

#include <boost/make_shared.hpp>

#include <KaUtils/FXString.h>

// The host defines the log writer handle; in tests the harness is the host.
boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter;

namespace xbtest {

void RecordingLogWriter::WriteLog(int nLevel, const char* pszFunction, unsigned int nLine, int,
                                  int, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  std::string text = FXString::FormatV(pszFormat, args);
  va_end(args);
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(LogEntry{nLevel, pszFunction ? pszFunction : "", nLine, std::move(text)});
}

int RecordingLogWriter::GetLogLevel() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++levelQueries_;
  return level_;
}

void RecordingLogWriter::SetLevel(int level) {
  std::lock_guard<std::mutex> lock(mutex_);
  level_ = level;
}

std::vector<LogEntry> RecordingLogWriter::Entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return entries_;
}

std::vector<LogEntry> RecordingLogWriter::Find(const std::string& text) const {
  std::vector<LogEntry> found;
  for (const LogEntry& entry : Entries()) {
    if (entry.text == text) found.push_back(entry);
  }
  return found;
}

std::vector<LogEntry> RecordingLogWriter::FindContaining(const std::string& part) const {
  std::vector<LogEntry> found;
  for (const LogEntry& entry : Entries()) {
    if (entry.text.find(part) != std::string::npos) found.push_back(entry);
  }
  return found;
}

int RecordingLogWriter::LevelQueries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return levelQueries_;
}

void RecordingLogWriter::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.clear();
  levelQueries_ = 0;
}

ScopedLogWriter::ScopedLogWriter()
    : writer_(boost::make_shared<RecordingLogWriter>()), previous_(g_ptrLogWriter) {
  g_ptrLogWriter = writer_;
}

ScopedLogWriter::~ScopedLogWriter() { g_ptrLogWriter = previous_; }

}  // namespace xbtest
