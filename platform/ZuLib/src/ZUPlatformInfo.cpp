#include <ZuLib/ZUPlatformInfo.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <LogWriter/LogWriterInterface.h>
#include <boost/optional.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

// Weak: a program without a log writer still loads this library.
extern boost::shared_ptr<CLogWriterInterface> g_ptrLogWriter __attribute__((weak));

const char* const ZUPlatformInfo::kDefaultSettingsPath = "/etc/xtrabackup-util/settings.ini";
const char* const ZUPlatformInfo::kSettingsPathVariable = "XTRABACKUP_UTIL_SETTINGS";

namespace {

namespace pt = boost::property_tree;

// A settings file larger than this is not read.
constexpr off_t kMaxSettingsBytes = 1 << 20;

// Tells the host's log writer, when the host has one, why the settings read
// as not set. The platform library does not require a writer to exist.
void LogUnreadable(const std::string& path, const char* why) {
  if (&g_ptrLogWriter == nullptr) return;
  boost::shared_ptr<CLogWriterInterface> writer = g_ptrLogWriter;
  if (!writer || writer->GetLogLevel() < 0) return;
  writer->WriteLog(0, "ZUPlatformInfo", static_cast<unsigned int>(__LINE__), 0, 0,
                   "Settings file [%s] %s; every setting reads as not set", path.c_str(), why);
}

// The text of the settings file. Nothing for a missing file, and nothing,
// logged, for a file that is not a regular one (a FIFO or a device would hang
// a blocking open or read), is too large or cannot be read.
boost::optional<std::string> ReadSettingsText() {
  const std::string path = ZUPlatformInfo::SettingsPath();
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno != ENOENT) LogUnreadable(path, std::strerror(errno));
    return boost::none;
  }
  struct stat st;
  const char* why = nullptr;
  if (::fstat(fd, &st) != 0) {
    why = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode)) {
    why = "is not a regular file";
  } else if (st.st_size > kMaxSettingsBytes) {
    why = "is larger than 1 MiB";
  }
  std::string text;
  char buffer[4096];
  while (why == nullptr) {
    ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) why = std::strerror(errno);
    if (got <= 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (text.size() > static_cast<size_t>(kMaxSettingsBytes)) why = "is larger than 1 MiB";
  }
  ::close(fd);
  if (why != nullptr) {
    LogUnreadable(path, why);
    return boost::none;
  }
  return text;
}

// Reads the whole settings file; nothing when it is missing, unreadable or
// not valid INI.
boost::optional<pt::ptree> LoadSettings() {
  boost::optional<std::string> text = ReadSettingsText();
  if (!text) return boost::none;
  std::istringstream in(*text);
  pt::ptree tree;
  try {
    pt::ini_parser::read_ini(in, tree);
  } catch (const pt::ini_parser_error&) {
    return boost::none;
  }
  return tree;
}

boost::optional<std::string> LookUp(const char* section, const char* key) {
  if (section == nullptr || key == nullptr) return boost::none;
  boost::optional<pt::ptree> tree = LoadSettings();
  if (!tree) return boost::none;
  auto sectionTree = tree->get_child_optional(pt::ptree::path_type(section, '\0'));
  if (!sectionTree) return boost::none;
  auto value = sectionTree->get_child_optional(pt::ptree::path_type(key, '\0'));
  if (!value) return boost::none;
  return value->data();
}

bool ParseUnsignedDecimal(const std::string& text, unsigned long* value) {
  if (text.empty()) return false;
  unsigned long result = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    unsigned long digit = static_cast<unsigned long>(c - '0');
    if (result > (~0ul - digit) / 10) return false;
    result = result * 10 + digit;
  }
  *value = result;
  return true;
}

}  // namespace

ZUPlatformInfo::ZUPlatformInfo() = default;
ZUPlatformInfo::~ZUPlatformInfo() = default;

std::string ZUPlatformInfo::SettingsPath() {
  const char* fromEnvironment = std::getenv(kSettingsPathVariable);
  if (fromEnvironment && *fromEnvironment) return fromEnvironment;
  return kDefaultSettingsPath;
}

int ZUPlatformInfo::getString(const char* section, const char* key, std::string* pValue) {
  boost::optional<std::string> value = LookUp(section, key);
  if (!value || pValue == nullptr) return 0;
  *pValue = *value;
  return 1;
}

int ZUPlatformInfo::getNumber(const char* section, const char* key, unsigned long* pValue) {
  boost::optional<std::string> text = LookUp(section, key);
  unsigned long number = 0;
  if (!text || pValue == nullptr || !ParseUnsignedDecimal(*text, &number)) return 0;
  *pValue = number;
  return 1;
}
