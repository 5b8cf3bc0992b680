// GetMySqlInfo::getMySqlHexName: the on-disk form of database and table names.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "harness/Harness.h"

#include <MySqlCommon/GetMySqlInfo.h>

namespace {

std::string Hex(const std::string& s) { return GetMySqlInfo::getMySqlHexName(s); }

using xbtest::Utf8;

bool IsPlain(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}

bool InAlphabet(const std::string& s) {
  for (char c : s) {
    if (!IsPlain(c) && c != '@') return false;
  }
  return true;
}

std::string ByteCode(unsigned char b) {
  static const char digits[] = "0123456789abcdef";
  return std::string("@00") + digits[b >> 4] + digits[b & 0xF];
}

// Each name with the directory name MariaDB 10.11 gave it on CREATE DATABASE
// (tables get the same name plus their extensions). The server test checks
// names of these kinds against a live server.
const std::vector<std::pair<std::string, std::string>> kKnownNames = {
    {"abc", "abc"},
    {"ABC_123", "ABC_123"},
    {"my-db", "my@002ddb"},
    {"with space", "with@0020space"},
    {" a", "@0020a"},
    {"Müller", "M@1oller"},
    {"Ärger", "@0Krger"},
    {"ärger", "@0krger"},
    {"ß", "@1j"},
    {"ÿ", "@1r"},
    {"Ÿ", "@1R"},
    {"Ñandú", "@0Xand@1m"},
    {"Łódź", "@3L@0zd@4t"},
    {"Žluťoučký kůň", "@4Vlu@4jou@1yk@1p@0020k@4o@3o"},
    {"İ", "@0130"},
    {"ı", "@2w"},
    {"ŉ", "@3p"},
    {"ǄǅǆǇ", "@Ob@01c5@ob@Pb"},  // title-case letters have no code
    {"ǲ", "@01f2"},
    {"ʯ", "@ik"},
    {"ʰ", "@02b0"},
    {"Ωμέγα", "@7P@6w@6h@6n@6l"},
    {"Ελληνικά", "@6P@6v@6v@6r@6x@6t@6u@6g"},
    {"ΆΈΉ", "@6G@6H@6I"},
    {"ϕ", "@8h"},
    {"Δ-1", "@6O@002d1"},
    {"Москва", "@S0@u0@x0@q0@i0@g0"},
    {"ѐ", "@s1"},
    {"Ӂ", "@U4"},
    {"ԏ", "@w6"},
    {"Ա", "@H7"},
    {"Ֆ", "@0556"},
    {"ֆ", "@0586"},
    {"ḀẞỸ", "@Gl@1e9e@Pr"},
    {"Ẁ", "@Ko"},
    {"ἀᾼ", "@gs@Nx"},
    {"ἇ", "@ns"},
    {"\u1ffd", "@1ffd"},
    {"Ⅰⅰ", "@G9@g9"},
    {"Ⅻ", "@R9"},
    {"Ⓩⓩ", "@@Z@@z"},
    {"ⓐ", "@@a"},
    {"ＡＺａｚ", "@A@@Z@@a@@z@"},
    {"Ａｂ", "@A@@b@"},
    {"ﾊ", "@ff8a"},
    {"ｦ", "@ff66"},
    {"日本語", "@65e5@672c@8a9e"},
    {"日本-db.x", "@65e5@672c@002ddb@002ex"},
    {"한국어", "@d55c@ad6d@c5b4"},
    {"א", "@05d0"},
    {"ع", "@0639"},
    {"क", "@0915"},
    {"€", "@20ac"},
    {"ℹ", "@2139"},
    {"ﬀ", "@fb00"},
    {"¼", "@00bc"},
    {"×", "@00d7"},
    {"÷", "@00f7"},
    {"µ", "@00b5"},
    {"x\u00a0y", "x@00a0y"},
    {"\u3000", "@3000"},
    {"\u200b", "@200b"},
    {"\ufeff", "@feff"},
    {"\uffff", "@ffff"},
    {"\u0080", "@0080"},
    {".", "@002e"},
    {"..", "@002e@002e"},
    {"-", "@002d"},
    {"@", "@0040"},
    {"#", "@0023"},
    {"$", "@0024"},
    {"%", "@0025"},
    {"*", "@002a"},
    {"?", "@003f"},
    {"~", "@007e"},
    {"`", "@0060"},
    {"'", "@0027"},
    {"\"", "@0022"},
    {"a`b", "a@0060b"},
    {"a/b", "a@002fb"},
    {"a\\b", "a@005cb"},
    {"<>|&;", "@003c@003e@007c@0026@003b"},
    {"tab\tx", "tab@0009x"},
    {"x.frm", "x@002efrm"},
    {"a#P#b", "a@0023P@0023b"},
    {"a@002db", "a@0040002db"},
    {"mixed-Name_1.Ä ö", "mixed@002dName_1@002e@0K@0020@1i"},
    // Device names get "@@@", in any letter case; near misses do not.
    {"con", "con@@@"},
    {"Con", "Con@@@"},
    {"aux", "aux@@@"},
    {"NUL", "NUL@@@"},
    {"PRN", "PRN@@@"},
    {"COM1", "COM1@@@"},
    {"lpt9", "lpt9@@@"},
    {"COM0", "COM0"},
    {"LPT0", "LPT0"},
    {"COM10", "COM10"},
    {"CON1", "CON1"},
    {"CON1@", "CON1@0040"},
    {"CLOCK$", "CLOCK@0024"},
    {"CON.txt", "CON@002etxt"},
    // The "#mysql50#" prefix is not special for the encoding (the server
    // refuses to create such names).
    {"#MYSQL50#q", "@0023MYSQL50@0023q"},
    {"#mysql50#a-b", "@0023mysql50@0023a@002db"},
};

TEST(HexName, KnownNamesGiveTheServersDirectoryNames) {
  for (const auto& [name, expected] : kKnownNames) {
    EXPECT_EQ(Hex(name), expected) << "name: " << name;
  }
}

TEST(HexName, EmptyNameGivesEmptyResult) { EXPECT_EQ(Hex(""), ""); }

TEST(HexName, AsciiLettersDigitsUnderscoreUnchanged) {
  const std::string plain = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_";
  EXPECT_EQ(Hex(plain), plain);
  for (char c : plain) EXPECT_EQ(Hex(std::string(1, c)), std::string(1, c));

  std::mt19937 rng(7);
  std::uniform_int_distribution<std::size_t> pick(0, plain.size() - 1);
  std::uniform_int_distribution<int> len(5, 64);
  for (int round = 0; round < 1000; ++round) {
    std::string name;
    for (int i = len(rng); i > 0; --i) name += plain[pick(rng)];
    ASSERT_EQ(Hex(name), name);
  }
}

TEST(HexName, EveryOtherAsciiCharacterIsFourHexDigits) {
  for (int c = 0; c < 0x80; ++c) {
    if (IsPlain(static_cast<char>(c))) continue;
    char expected[8];
    std::snprintf(expected, sizeof expected, "@%04x", c);
    EXPECT_EQ(Hex(std::string(1, static_cast<char>(c))), expected) << "char " << c;
  }
}

TEST(HexName, EmbeddedNulIsEncoded) {
  EXPECT_EQ(Hex(std::string("a\0b", 3)), "a@0000b");
}

TEST(HexName, CharactersBeyondTheBmpAreWrittenByteByByte) {
  // The server refuses these in names. Writing their bytes keeps them from
  // aliasing a basic-plane character that the server does accept
  // (U+1F600 must not become the name of U+F600).
  EXPECT_EQ(Hex("\U0001F600"), "@00f0@009f@0098@0080");
  EXPECT_NE(Hex("\U0001F600"), Hex("\uF600"));
  EXPECT_EQ(Hex("a\U0001F4A9b"), "a@00f0@009f@0092@00a9b");
  EXPECT_EQ(Hex("\U00010000"), "@00f0@0090@0080@0080");
}

TEST(HexName, InvalidUtf8IsWrittenByteByByte) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"\x80", "@0080"},                                    // stray continuation
      {"a\xBF" "b", "a@00bfb"},
      {"\xC3", "@00c3"},                                    // truncated at the end
      {"\xC3" "A", "@00c3A"},                               // lead without continuation
      {"\xE4\xB8", "@00e4@00b8"},                           // truncated 3-byte sequence
      {"\xE4\xB8z", "@00e4@00b8z"},
      {"\xF0\x9F\x98", "@00f0@009f@0098"},                  // truncated 4-byte sequence
      {"\xC0\x80", "@00c0@0080"},                           // overlong NUL
      {"\xC1\xBF", "@00c1@00bf"},                           // overlong
      {"\xE0\x80\xAF", "@00e0@0080@00af"},                  // overlong '/'
      {"\xE0\x9F\xBF", "@00e0@009f@00bf"},                  // overlong
      {"\xF0\x8F\xBF\xBF", "@00f0@008f@00bf@00bf"},         // overlong
      {"\xED\xA0\x80", "@00ed@00a0@0080"},                  // surrogate U+D800
      {"\xED\xBF\xBF", "@00ed@00bf@00bf"},                  // surrogate U+DFFF
      {"\xF4\x90\x80\x80", "@00f4@0090@0080@0080"},         // above U+10FFFF
      {"\xF5\x80\x80\x80", "@00f5@0080@0080@0080"},
      {"\xF8\x88\x80\x80\x80", "@00f8@0088@0080@0080@0080"},
      {"\xFE\xFF", "@00fe@00ff"},
      {"\xC3\xA4\xA4", "@0k@00a4"},                         // valid, then a stray byte
      {"\xE4\xB8\xC3\xA4", "@00e4@00b8@0k"},                // resynchronises on a lead
  };
  for (const auto& [input, expected] : cases) {
    std::string shown;
    for (unsigned char b : input) shown += ByteCode(b);
    EXPECT_EQ(Hex(input), expected) << "input bytes " << shown;
  }
  // The largest valid values next to the invalid ones.
  EXPECT_EQ(Hex("\xED\x9F\xBF"), "@d7ff");
  EXPECT_EQ(Hex("\xEE\x80\x80"), "@e000");
  EXPECT_EQ(Hex("\xF4\x8F\xBF\xBF"), "@00f4@008f@00bf@00bf");  // U+10FFFF
  EXPECT_EQ(Hex("\xC2\x80"), "@0080");
}

TEST(HexName, BytesThatNeverStartASequenceAreEncodedAlone) {
  for (int b = 0x80; b <= 0xFF; ++b) {
    if (b >= 0xC2 && b <= 0xF4) continue;  // possible lead bytes
    const std::string in(3, static_cast<char>(b));
    const std::string one = ByteCode(static_cast<unsigned char>(b));
    EXPECT_EQ(Hex(in), one + one + one) << "byte " << b;
  }
  for (int b = 0xC2; b <= 0xF4; ++b) {  // a lead byte alone at the end
    EXPECT_EQ(Hex("x" + std::string(1, static_cast<char>(b))),
              "x" + ByteCode(static_cast<unsigned char>(b)));
  }
}

TEST(HexName, EveryBmpCodePointHasADistinctEncoding) {
  std::set<std::string> seen;
  for (char32_t cp = 1; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const std::string enc = Hex(Utf8(cp));
    ASSERT_TRUE(InAlphabet(enc)) << std::hex << cp << " -> " << enc;
    if (cp < 0x80 && IsPlain(static_cast<char>(cp))) {
      ASSERT_EQ(enc.size(), 1u);
    } else {
      ASSERT_TRUE(enc.size() == 3 || enc.size() == 5) << std::hex << cp << " -> " << enc;
      ASSERT_EQ(enc[0], '@');
      if (enc.size() == 5) {
        char expected[8];
        std::snprintf(expected, sizeof expected, "@%04x", static_cast<unsigned>(cp));
        ASSERT_EQ(enc, expected);
      }
    }
    ASSERT_TRUE(seen.insert(enc).second) << "duplicate " << enc << " for U+" << std::hex << cp;
  }
}

TEST(HexName, NameEncodingIsTheConcatenationOfItsCharacters) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> len(1, 24);
  std::uniform_int_distribution<int> kind(0, 3);
  for (int round = 0; round < 2000; ++round) {
    std::string name;
    std::string expected;
    const int n = len(rng);
    for (int i = 0; i < n; ++i) {
      char32_t cp;
      switch (kind(rng)) {
        case 0: cp = std::uniform_int_distribution<char32_t>(0x20, 0x7E)(rng); break;
        case 1: cp = std::uniform_int_distribution<char32_t>(0xA0, 0x600)(rng); break;
        case 2: cp = std::uniform_int_distribution<char32_t>(0x1E00, 0x2200)(rng); break;
        default: cp = std::uniform_int_distribution<char32_t>(0xE000, 0xFFFF)(rng); break;
      }
      name += Utf8(cp);
      expected += Hex(Utf8(cp));
    }
    if (expected.size() <= 4) continue;  // could be a device name
    ASSERT_EQ(Hex(name), expected) << "name: " << name;
  }
}

TEST(HexName, RandomBytesGiveOnlyTheFilenameAlphabet) {
  std::mt19937 rng(4711);
  std::uniform_int_distribution<int> len(0, 64);
  std::uniform_int_distribution<int> byte(0, 255);
  std::uniform_int_distribution<int> pick(0, 9);
  // Bytes biased towards UTF-8 structure so that valid, truncated and
  // overlong sequences all occur.
  const unsigned char interesting[] = {0x80, 0xBF, 0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xED,
                                       0xEF, 0xF0, 0xF4, 0xF5, 0xFF, 0x00, '@', '_'};
  std::uniform_int_distribution<std::size_t> pickInteresting(0, sizeof interesting - 1);
  for (int round = 0; round < 20000; ++round) {
    std::string in;
    const int n = len(rng);
    for (int i = 0; i < n; ++i) {
      const int p = pick(rng);
      if (p < 4) {
        in += static_cast<char>(byte(rng));
      } else if (p < 7) {
        in += static_cast<char>(interesting[pickInteresting(rng)]);
      } else {
        in += static_cast<char>(0x80 | (byte(rng) & 0x3F));  // continuation
      }
    }
    const std::string out = Hex(in);
    ASSERT_TRUE(InAlphabet(out)) << "round " << round;
    ASSERT_LE(out.size(), 5 * in.size() + 3);
    // Input made only of plain characters comes back unchanged (unless it
    // is short enough to be a device name).
    bool allPlain = true;
    for (char c : in) allPlain = allPlain && IsPlain(c);
    if (allPlain && in.size() > 4) {
      ASSERT_EQ(out, in);
    }
  }
}

TEST(HexName, ArgumentIsNotModifiedAndLongInputIsHandled) {
  std::string name = "Grüße-日本";
  const std::string copy = name;
  EXPECT_EQ(Hex(name), "Gr@1o@1je@002d@65e5@672c");
  EXPECT_EQ(name, copy);

  std::string big;
  std::mt19937 rng(99);
  std::uniform_int_distribution<int> byte(0, 255);
  for (int i = 0; i < 1 << 20; ++i) big += static_cast<char>(byte(rng));
  const std::string out = Hex(big);
  EXPECT_TRUE(InAlphabet(out));
  EXPECT_GE(out.size(), big.size());
}

}  // namespace
