#pragma once

// JSON documents (nlohmann-json): objects keep their members in the order
// they were set, text is indented by two with a trailing newline, and reads
// of members that may be missing or of another type never throw.

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

#include "Common.h"

namespace xbagent {

using Json = nlohmann::ordered_json;

// Indented text with a trailing newline; bytes that are not valid UTF-8 are
// written as U+FFFD.
inline std::string JsonText(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

// Parses a whole document; throws Failure naming `what` on malformed text.
inline Json ParseJson(const std::string& text, const std::string& what) {
  try {
    return Json::parse(text);
  } catch (const Json::exception& error) {
    Fail(what + " is not valid JSON (" + error.what() + ")");
  }
  return Json();
}

// The member `key` of an object; null when absent or not an object.
inline const Json& Member(const Json& object, const std::string& key) {
  static const Json kNull;
  if (!object.is_object()) return kNull;
  auto found = object.find(key);
  return found == object.end() ? kNull : *found;
}

inline bool GetString(const Json& value, std::string* out) {
  if (!value.is_string()) return false;
  *out = value.get<std::string>();
  return true;
}

inline bool GetBool(const Json& value, bool* out) {
  if (!value.is_boolean()) return false;
  *out = value.get<bool>();
  return true;
}

inline bool GetUnsigned(const Json& value, uint64_t* out) {
  if (!value.is_number_unsigned()) return false;
  *out = value.get<uint64_t>();
  return true;
}

}  // namespace xbagent
