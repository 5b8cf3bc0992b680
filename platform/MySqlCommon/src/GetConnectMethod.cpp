// Connection options for the backup tool's command line.

#include "MySqlCommon/GetMySqlInfo.h"

#include <cstddef>
#include <string>

namespace {

bool isOrdinary(unsigned char c) {
  if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')) return true;
  switch (c) {
    case '/': case '.': case '_': case '+': case ',': case ':': case '@': case '%': case '-':
      return true;
    default:
      return false;
  }
}

// The value as one shell word: unchanged if made of ordinary characters,
// otherwise in single quotes (a quote inside becomes '\'').
std::string shellWord(const std::string& value) {
  bool ordinary = !value.empty();
  for (const char c : value) {
    if (!isOrdinary(static_cast<unsigned char>(c))) {
      ordinary = false;
      break;
    }
  }
  if (ordinary) return value;

  std::string out;
  out.reserve(value.size() + 2);
  out += '\'';
  for (const char c : value) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  out += '\'';
  return out;
}

void appendOption(std::string& out, const char* option, const std::string& value) {
  if (value.empty()) return;
  if (!out.empty()) out += ' ';
  out += option;
  out += shellWord(value);
}

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v'; }

}  // namespace

std::string GetMySqlInfo::GetConnectMethod(const std::string& sConnectInfo) {
  // Surrounding white space (a trailing newline from a file, say) is not part
  // of the address.
  std::size_t begin = 0;
  std::size_t end = sConnectInfo.size();
  while (begin < end && isSpace(sConnectInfo[begin])) ++begin;
  while (end > begin && isSpace(sConnectInfo[end - 1])) --end;
  const std::string info = sConnectInfo.substr(begin, end - begin);

  std::string out;
  if (info.empty()) return out;

  if (info[0] == '/') {
    appendOption(out, "--socket=", info);
    return out;
  }
  constexpr char kSocketPrefix[] = "socket=";
  constexpr std::size_t kSocketPrefixLen = sizeof kSocketPrefix - 1;
  if (info.compare(0, kSocketPrefixLen, kSocketPrefix) == 0) {
    appendOption(out, "--socket=", info.substr(kSocketPrefixLen));
    return out;
  }

  std::string host;
  std::string port;
  const std::size_t close = info[0] == '[' ? info.find(']') : std::string::npos;
  if (close != std::string::npos &&
      (close + 1 == info.size() || info[close + 1] == ':')) {
    // "[IPV6]" or "[IPV6]:PORT"
    host = info.substr(1, close - 1);
    if (close + 1 < info.size()) port = info.substr(close + 2);
  } else {
    const std::size_t colon = info.find(':');
    if (colon != std::string::npos && info.find(':', colon + 1) == std::string::npos) {
      // "HOST:PORT"
      host = info.substr(0, colon);
      port = info.substr(colon + 1);
    } else {
      // "HOST", or a bare IPv6 address (more than one ':'), which has no port.
      host = info;
    }
  }
  appendOption(out, "--host=", host);
  appendOption(out, "--port=", port);
  return out;
}
