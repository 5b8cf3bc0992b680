#include <ZuLib/ZUPlatformInfo.h>

#include <cstdlib>
#include <fstream>

#include <boost/optional.hpp>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

const char* const ZUPlatformInfo::kDefaultSettingsPath = "/etc/xtrabackup-util/settings.ini";
const char* const ZUPlatformInfo::kSettingsPathVariable = "XTRABACKUP_UTIL_SETTINGS";

namespace {

namespace pt = boost::property_tree;

// Reads the whole settings file; nothing when it is missing or not valid INI.
boost::optional<pt::ptree> LoadSettings() {
  std::ifstream in(ZUPlatformInfo::SettingsPath());
  if (!in) return boost::none;
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
