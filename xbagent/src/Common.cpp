#include "Common.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>

#include <unistd.h>

namespace xbagent {

void Fail(const std::string& message) { throw Failure(kExitFailure, message); }

void UsageFail(const std::string& message) { throw Failure(kExitUsage, message); }

std::string ErrnoText(int errnum) {
  if (errnum == EACCES) return "permission denied";
  char buffer[256];
  // The GNU variant returns a pointer that may or may not be the buffer.
  const char* text = ::strerror_r(errnum, buffer, sizeof buffer);
  return text ? std::string(text) : std::string("error ") + std::to_string(errnum);
}

std::string HumanBytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
  if (bytes < 1024) return std::to_string(bytes) + " B";
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
    value /= 1024.0;
    ++unit;
  }
  char text[64];
  std::snprintf(text, sizeof text, value < 10.0 ? "%.2f %s" : "%.1f %s", value, kUnits[unit]);
  return text;
}

std::string HumanSeconds(double seconds) {
  char text[64];
  if (seconds < 0) seconds = 0;
  if (seconds < 60.0) {
    std::snprintf(text, sizeof text, "%.2f s", seconds);
  } else {
    unsigned long whole = static_cast<unsigned long>(seconds + 0.5);
    std::snprintf(text, sizeof text, "%lu min %02lu s", whole / 60, whole % 60);
  }
  return text;
}

double MonotonicSeconds() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::string UtcTimestamp() {
  std::time_t now = std::time(nullptr);
  struct tm parts;
  ::gmtime_r(&now, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return text;
}

std::string Trim(const std::string& text) {
  const char* const kBlanks = " \t\r\n";
  size_t begin = text.find_first_not_of(kBlanks);
  if (begin == std::string::npos) return std::string();
  size_t end = text.find_last_not_of(kBlanks);
  return text.substr(begin, end - begin + 1);
}

std::string ShellQuote(const std::string& value) {
  std::string quoted = "'";
  for (char c : value) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  quoted += '\'';
  return quoted;
}

bool ParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 19) return false;
  uint64_t result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    result = result * 10 + static_cast<uint64_t>(c - '0');
  }
  *value = result;
  return true;
}

namespace {

// Field 22 of /proc/PID/stat: the process's start time in clock ticks.
std::string StartTicks(long pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return std::string();
  size_t close = line.rfind(')');
  if (close == std::string::npos) return std::string();
  std::istringstream fields(line.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return std::string();
}

}  // namespace

std::string RunIdentity() {
  long pid = static_cast<long>(::getpid());
  return std::to_string(pid) + "#" + StartTicks(pid);
}

bool IsRunIdentity(const std::string& text) {
  size_t hash = text.find('#');
  if (hash == std::string::npos || hash == 0 || hash + 1 >= text.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (i != hash && (text[i] < '0' || text[i] > '9')) return false;
  }
  return true;
}

bool IsRunAlive(const std::string& identity) {
  size_t hash = identity.find('#');
  if (hash == std::string::npos) return false;
  long pid = std::atol(identity.substr(0, hash).c_str());
  if (pid <= 0) return false;
  std::string ticks = StartTicks(pid);
  return !ticks.empty() && ticks == identity.substr(hash + 1);
}

}  // namespace xbagent
