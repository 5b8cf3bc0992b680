// The on-disk form of database and table names: the server's "filename"
// character set.
//
//   [0-9A-Za-z_]                        unchanged
//   letters of the table below          "@" + two characters ("Ä" -> "@0K")
//   any other character                 "@" + four lower-case hex digits of
//                                       the code point ("-" -> "@002d")
//   a name equal to a device name       "@@@" appended ("con" -> "con@@@")
//     (CON, NUL, COM1, ... any case)
//
// The server accepts only BMP characters in names. For a character beyond the
// BMP we write what CONVERT(... USING filename) writes, the low 16 bits of its
// code point. Bytes that are not valid UTF-8 are written one at a time as
// "@00" and two hex digits.
//
// Names with the "#mysql50#" prefix (access to directories of pre-5.1 servers
// whose names are not in the filename character set) are encoded like any
// other name: the server will not create one, and the legacy directory name
// they stand for may hold any character.

#include "MySqlCommon/GetMySqlInfo.h"

#include <cstddef>
#include <string>

namespace {

#include "FilenameCodes.inc"

static_assert(sizeof(filename_codes::kCodes) == 2 * filename_codes::kCodeCount + 1,
              "kCodes must hold one pair per code point of kBlocks");

constexpr char kHexDigits[] = "0123456789abcdef";

inline bool isPlain(unsigned c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

inline bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Decodes the UTF-8 sequence at p (n > 0 bytes available). Returns its length
// and stores the code point, or returns 0 if p does not begin a valid
// sequence: stray continuation byte, truncated or overlong sequence,
// surrogate, or a value above U+10FFFF.
inline std::size_t decodeUtf8(const unsigned char* p, std::size_t n, unsigned& cp) {
  const unsigned b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if (b0 < 0xC2) return 0;  // continuation byte, or overlong 2-byte lead
  if (b0 < 0xE0) {
    if (n < 2 || !isContinuation(p[1])) return 0;
    cp = ((b0 & 0x1Fu) << 6) | (p[1] & 0x3Fu);
    return 2;
  }
  if (b0 < 0xF0) {
    if (n < 3 || !isContinuation(p[1]) || !isContinuation(p[2])) return 0;
    cp = ((b0 & 0x0Fu) << 12) | ((p[1] & 0x3Fu) << 6) | (p[2] & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return 3;
  }
  if (b0 < 0xF5) {
    if (n < 4 || !isContinuation(p[1]) || !isContinuation(p[2]) || !isContinuation(p[3]))
      return 0;
    cp = ((b0 & 0x07u) << 18) | ((p[1] & 0x3Fu) << 12) | ((p[2] & 0x3Fu) << 6) | (p[3] & 0x3Fu);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
    return 4;
  }
  return 0;
}

// The two characters after "@" for cp, or nullptr if it has none.
inline const char* letterCode(unsigned cp) {
  for (const auto& block : filename_codes::kBlocks) {
    if (cp < block.first) return nullptr;
    if (cp <= block.last) {
      const char* code = filename_codes::kCodes + 2 * (block.offset + (cp - block.first));
      return code[0] == '-' ? nullptr : code;
    }
  }
  return nullptr;
}

inline void appendHex4(std::string& out, unsigned v) {
  const char buf[5] = {'@', kHexDigits[(v >> 12) & 0xF], kHexDigits[(v >> 8) & 0xF],
                       kHexDigits[(v >> 4) & 0xF], kHexDigits[v & 0xF]};
  out.append(buf, sizeof buf);
}

inline char upperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// Whether the encoded name is one of the device names the server guards with
// "@@@", in any letter case.
bool isReservedName(const std::string& encoded) {
  if (encoded.size() < 3 || encoded.size() > 4) return false;
  for (const char* reserved : filename_codes::kReservedNames) {
    std::size_t i = 0;
    while (i < encoded.size() && reserved[i] != '\0' && upperAscii(encoded[i]) == reserved[i]) ++i;
    if (i == encoded.size() && reserved[i] == '\0') return true;
  }
  return false;
}

}  // namespace

std::string GetMySqlInfo::getMySqlHexName(std::string sName) {
  const auto* p = reinterpret_cast<const unsigned char*>(sName.data());
  const std::size_t n = sName.size();

  std::string out;
  // Every input byte yields at most five output characters, plus "@@@".
  out.reserve(5 * n + 3);

  bool allPlain = true;
  std::size_t i = 0;
  while (i < n) {
    const unsigned char c = p[i];
    if (isPlain(c)) {
      out += static_cast<char>(c);
      ++i;
      continue;
    }
    allPlain = false;
    unsigned cp = 0;
    const std::size_t len = decodeUtf8(p + i, n - i, cp);
    // Characters above U+FFFF are refused by the server in names. They are
    // written byte by byte, like invalid input, so they can never alias the
    // name of a character of the basic plane.
    if (len == 0 || cp > 0xFFFFu) {
      for (std::size_t k = 0; k < (len == 0 ? 1 : len); ++k) appendHex4(out, p[i + k]);
      i += len == 0 ? 1 : len;
      continue;
    }
    i += len;
    if (const char* code = letterCode(cp)) {
      const char buf[3] = {'@', code[0], code[1]};
      out.append(buf, sizeof buf);
    } else {
      appendHex4(out, cp);
    }
  }

  if (allPlain && isReservedName(out)) out += "@@@";
  return out;
}
