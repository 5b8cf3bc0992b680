#include "Json.h"

#include <cstdio>

#include "Common.h"

namespace xbagent {

namespace {

const JsonValue& NullValue() {
  static const JsonValue kNull;
  return kNull;
}

void AppendUtf8(std::string* out, uint32_t cp) {
  if (cp < 0x80) {
    *out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    *out += static_cast<char>(0xC0 | (cp >> 6));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *out += static_cast<char>(0xE0 | (cp >> 12));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *out += static_cast<char>(0xF0 | (cp >> 18));
    *out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Length of the valid UTF-8 sequence at text[i], or 0 when it is not one.
size_t Utf8SequenceLength(const std::string& text, size_t i) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  unsigned char c = s[i];
  if (c < 0x80) return 1;
  size_t length;
  uint32_t cp;
  if (c >= 0xC2 && c <= 0xDF) {
    length = 2;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    length = 3;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    length = 4;
    cp = c & 0x07;
  } else {
    return 0;
  }
  if (i + length > n) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((s[i + k] & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (s[i + k] & 0x3F);
  }
  if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
      (cp >= 0xD800 && cp <= 0xDFFF)) {
    return 0;
  }
  return length;
}

class Parser {
 public:
  Parser(const std::string& text, const std::string& what) : text_(text), what_(what) {}

  JsonValue Document() {
    JsonValue value = ParseValue(0);
    SkipBlanks();
    if (pos_ != text_.size()) Error("unexpected text after the value");
    return value;
  }

 private:
  [[noreturn]] void Error(const std::string& message) {
    Fail(what_ + " is not valid JSON (" + message + " at byte " + std::to_string(pos_) + ")");
  }

  void SkipBlanks() {
    while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' ||
                                   text_[pos_] == '\n' || text_[pos_] == '\r')) {
      ++pos_;
    }
  }

  bool Consume(const char* word) {
    size_t i = 0;
    while (word[i] != '\0') {
      if (pos_ + i >= text_.size() || text_[pos_ + i] != word[i]) return false;
      ++i;
    }
    pos_ += i;
    return true;
  }

  JsonValue ParseValue(int depth) {
    if (depth > 64) Error("nesting too deep");
    SkipBlanks();
    if (pos_ >= text_.size()) Error("unexpected end");
    char c = text_[pos_];
    if (c == '{') return ParseObject(depth);
    if (c == '[') return ParseArray(depth);
    if (c == '"') return JsonValue::String(ParseString());
    if (Consume("true")) return JsonValue::Bool(true);
    if (Consume("false")) return JsonValue::Bool(false);
    if (Consume("null")) return JsonValue::Null();
    if (c == '-' || (c >= '0' && c <= '9')) return ParseNumber();
    Error("unexpected character");
  }

  JsonValue ParseObject(int depth) {
    JsonValue object = JsonValue::Object();
    ++pos_;
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == '}') {
      ++pos_;
      return object;
    }
    for (;;) {
      SkipBlanks();
      if (pos_ >= text_.size() || text_[pos_] != '"') Error("expected a member name");
      std::string key = ParseString();
      SkipBlanks();
      if (pos_ >= text_.size() || text_[pos_] != ':') Error("expected ':'");
      ++pos_;
      object.Set(key, ParseValue(depth + 1));
      SkipBlanks();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == '}') {
        ++pos_;
        return object;
      }
      Error("expected ',' or '}'");
    }
  }

  JsonValue ParseArray(int depth) {
    JsonValue array = JsonValue::Array();
    ++pos_;
    SkipBlanks();
    if (pos_ < text_.size() && text_[pos_] == ']') {
      ++pos_;
      return array;
    }
    for (;;) {
      array.Push(ParseValue(depth + 1));
      SkipBlanks();
      if (pos_ < text_.size() && text_[pos_] == ',') {
        ++pos_;
        continue;
      }
      if (pos_ < text_.size() && text_[pos_] == ']') {
        ++pos_;
        return array;
      }
      Error("expected ',' or ']'");
    }
  }

  uint32_t ParseHex4() {
    if (pos_ + 4 > text_.size()) Error("truncated \\u escape");
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      char c = text_[pos_++];
      value <<= 4;
      if (c >= '0' && c <= '9') {
        value |= static_cast<uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        value |= static_cast<uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        value |= static_cast<uint32_t>(c - 'A' + 10);
      } else {
        Error("bad \\u escape");
      }
    }
    return value;
  }

  std::string ParseString() {
    ++pos_;  // opening quote
    std::string out;
    for (;;) {
      if (pos_ >= text_.size()) Error("unterminated string");
      unsigned char c = static_cast<unsigned char>(text_[pos_]);
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) Error("control character in string");
      if (c != '\\') {
        size_t length = Utf8SequenceLength(text_, pos_);
        if (length == 0) Error("invalid UTF-8");
        out.append(text_, pos_, length);
        pos_ += length;
        continue;
      }
      ++pos_;
      if (pos_ >= text_.size()) Error("unterminated escape");
      char e = text_[pos_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          uint32_t cp = ParseHex4();
          if (cp >= 0xD800 && cp <= 0xDBFF) {
            if (!Consume("\\u")) Error("lone surrogate");
            uint32_t low = ParseHex4();
            if (low < 0xDC00 || low > 0xDFFF) Error("bad surrogate pair");
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
          } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
            Error("lone surrogate");
          }
          AppendUtf8(&out, cp);
          break;
        }
        default:
          Error("bad escape");
      }
    }
  }

  JsonValue ParseNumber() {
    size_t start = pos_;
    if (text_[pos_] == '-') ++pos_;
    auto digits = [this]() {
      size_t first = pos_;
      while (pos_ < text_.size() && text_[pos_] >= '0' && text_[pos_] <= '9') ++pos_;
      return pos_ - first;
    };
    if (pos_ < text_.size() && text_[pos_] == '0') {
      ++pos_;
    } else if (digits() == 0) {
      Error("bad number");
    }
    if (pos_ < text_.size() && text_[pos_] == '.') {
      ++pos_;
      if (digits() == 0) Error("bad number");
    }
    if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
      ++pos_;
      if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
      if (digits() == 0) Error("bad number");
    }
    return JsonValue::NumberText(text_.substr(start, pos_ - start));
  }

  const std::string& text_;
  const std::string& what_;
  size_t pos_ = 0;
};

}  // namespace

JsonValue JsonValue::Bool(bool value) {
  JsonValue v;
  v.type_ = Type::kBool;
  v.bool_ = value;
  return v;
}

JsonValue JsonValue::Number(uint64_t value) { return NumberText(std::to_string(value)); }

JsonValue JsonValue::SignedNumber(int64_t value) { return NumberText(std::to_string(value)); }

JsonValue JsonValue::Real(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", value);
  return NumberText(text);
}

JsonValue JsonValue::NumberText(std::string text) {
  JsonValue v;
  v.type_ = Type::kNumber;
  v.text_ = std::move(text);
  return v;
}

JsonValue JsonValue::String(std::string value) {
  JsonValue v;
  v.type_ = Type::kString;
  v.text_ = std::move(value);
  return v;
}

JsonValue JsonValue::Array() {
  JsonValue v;
  v.type_ = Type::kArray;
  return v;
}

JsonValue JsonValue::Object() {
  JsonValue v;
  v.type_ = Type::kObject;
  return v;
}

JsonValue& JsonValue::Set(const std::string& key, JsonValue value) {
  for (auto& member : members_) {
    if (member.first == key) {
      member.second = std::move(value);
      return member.second;
    }
  }
  members_.emplace_back(key, std::move(value));
  return members_.back().second;
}

JsonValue& JsonValue::Push(JsonValue value) {
  items_.push_back(std::move(value));
  return items_.back();
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
  if (type_ != Type::kObject) return NullValue();
  for (const auto& member : members_) {
    if (member.first == key) return member.second;
  }
  return NullValue();
}

bool JsonValue::GetString(std::string* out) const {
  if (type_ != Type::kString) return false;
  *out = text_;
  return true;
}

bool JsonValue::GetBool(bool* out) const {
  if (type_ != Type::kBool) return false;
  *out = bool_;
  return true;
}

bool JsonValue::GetUnsigned(uint64_t* out) const {
  return type_ == Type::kNumber && ParseUnsigned(text_, out);
}

std::string JsonValue::Dump() const {
  std::string out;
  DumpTo(&out, 0);
  out += '\n';
  return out;
}

void JsonValue::DumpTo(std::string* out, int indent) const {
  const std::string pad(static_cast<size_t>(indent + 2), ' ');
  switch (type_) {
    case Type::kNull:
      *out += "null";
      break;
    case Type::kBool:
      *out += bool_ ? "true" : "false";
      break;
    case Type::kNumber:
      *out += text_;
      break;
    case Type::kString:
      *out += JsonQuote(text_);
      break;
    case Type::kArray:
      if (items_.empty()) {
        *out += "[]";
        break;
      }
      *out += "[\n";
      for (size_t i = 0; i < items_.size(); ++i) {
        *out += pad;
        items_[i].DumpTo(out, indent + 2);
        *out += i + 1 < items_.size() ? ",\n" : "\n";
      }
      *out += std::string(static_cast<size_t>(indent), ' ') + "]";
      break;
    case Type::kObject:
      if (members_.empty()) {
        *out += "{}";
        break;
      }
      *out += "{\n";
      for (size_t i = 0; i < members_.size(); ++i) {
        *out += pad + JsonQuote(members_[i].first) + ": ";
        members_[i].second.DumpTo(out, indent + 2);
        *out += i + 1 < members_.size() ? ",\n" : "\n";
      }
      *out += std::string(static_cast<size_t>(indent), ' ') + "}";
      break;
  }
}

JsonValue JsonValue::Parse(const std::string& text, const std::string& what) {
  return Parser(text, what).Document();
}

std::string JsonQuote(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  size_t i = 0;
  while (i < text.size()) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
      ++i;
    } else if (c < 0x20 || c == 0x7F) {
      switch (c) {
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        default:
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0x0f];
      }
      ++i;
    } else if (c < 0x80) {
      out += static_cast<char>(c);
      ++i;
    } else {
      size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text, i, length);
        i += length;
      }
    }
  }
  out += '"';
  return out;
}

}  // namespace xbagent
