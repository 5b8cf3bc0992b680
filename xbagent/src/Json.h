#pragma once

// A small JSON value with a writer and a strict reader, enough for the
// backup manifest. Numbers keep their text so 64-bit sizes survive exactly.

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace xbagent {

class JsonValue {
 public:
  enum class Type { kNull, kBool, kNumber, kString, kArray, kObject };

  JsonValue() = default;
  static JsonValue Null() { return JsonValue(); }
  static JsonValue Bool(bool value);
  static JsonValue Number(uint64_t value);
  static JsonValue SignedNumber(int64_t value);
  static JsonValue Real(double value);
  static JsonValue String(std::string value);
  // A number from text that already follows the JSON number grammar.
  static JsonValue NumberText(std::string text);
  static JsonValue Array();
  static JsonValue Object();

  Type type() const { return type_; }
  bool IsNull() const { return type_ == Type::kNull; }

  // Objects keep their members in insertion order.
  JsonValue& Set(const std::string& key, JsonValue value);
  JsonValue& Push(JsonValue value);

  // Lookups; a missing member reads as null.
  const JsonValue& operator[](const std::string& key) const;
  const std::vector<JsonValue>& Items() const { return items_; }
  const std::vector<std::pair<std::string, JsonValue>>& Members() const { return members_; }

  // Typed reads; false when the value has another type or does not fit.
  bool GetString(std::string* out) const;
  bool GetBool(bool* out) const;
  bool GetUnsigned(uint64_t* out) const;

  // Indented text with a trailing newline.
  std::string Dump() const;

  // Parses a whole document; throws Failure (naming `what` and the offset)
  // on malformed text.
  static JsonValue Parse(const std::string& text, const std::string& what);

 private:
  void DumpTo(std::string* out, int indent) const;

  Type type_ = Type::kNull;
  bool bool_ = false;
  std::string text_;  // string value or number text
  std::vector<JsonValue> items_;
  std::vector<std::pair<std::string, JsonValue>> members_;
};

// The JSON string literal (with quotes) for UTF-8 text; bytes that are not
// valid UTF-8 are written as U+FFFD.
std::string JsonQuote(const std::string& text);

}  // namespace xbagent
