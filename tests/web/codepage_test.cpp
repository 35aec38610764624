// SPDX-License-Identifier: MIT
#include "web/codepage.h"

#include <cstdint>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <unicode/ucnv.h>
#include <unicode/ucnv_err.h>

namespace kestrune {
namespace {

// "41 00 FF" -> the three bytes.
std::string Hex(std::string_view hex) {
  std::string bytes;
  unsigned value = 0;
  int digits = 0;
  for (char c : hex) {
    if (c == ' ') continue;
    value = value * 16 + static_cast<unsigned>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
    if (++digits == 2) {
      bytes.push_back(static_cast<char>(value));
      value = 0;
      digits = 0;
    }
  }
  return bytes;
}

std::string ToHex(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (unsigned char b : bytes) {
    if (!hex.empty()) hex.push_back(' ');
    hex.push_back(kDigits[b >> 4]);
    hex.push_back(kDigits[b & 15]);
  }
  return hex;
}

struct HexCase {
  const char* name;
  const char* in;   // hex
  const char* out;  // hex
};

std::string CaseName(const ::testing::TestParamInfo<HexCase>& info) { return info.param.name; }

// ---------------------------------------------------------------------------

class Utf8ToUtf16Test : public ::testing::TestWithParam<HexCase> {};

TEST_P(Utf8ToUtf16Test, GivesWhatWindowsGives) {
  EXPECT_EQ(ToHex(Utf8ToUtf16(Hex(GetParam().in))), ToHex(Hex(GetParam().out)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToUtf16Test,
    ::testing::Values(HexCase{"Empty", "", ""}, HexCase{"Ascii", "41", "41 00"},
                      HexCase{"ThreeByteCharacter", "E7 BA BF", "BF 7E"},
                      HexCase{"TwoByteCharacter", "C3 A9", "E9 00"},
                      HexCase{"NonBmpBecomesSurrogatePair", "F0 9F 98 80", "3D D8 00 DE"},
                      HexCase{"HighestCodePoint", "F4 8F BF BF", "FF DB FF DF"},
                      HexCase{"NulIsOrdinary", "41 00 42", "41 00 00 00 42 00"},
                      HexCase{"BomKept", "EF BB BF 41", "FF FE 41 00"},
                      HexCase{"InvalidLeadThenAscii", "C0 41 42", "FD FF 41 00 42 00"},
                      HexCase{"TwoBadBytes", "74 65 73 74 FF FF 20", "74 00 65 00 73 00 74 00 FD FF FD FF 20 00"},
                      HexCase{"BrokenSequenceResumesAtBreakingByte", "E2 82 41", "FD FF 41 00"},
                      HexCase{"TruncatedAtEnd", "E2 82", "FD FF"}, HexCase{"LoneLeadAtEnd", "41 C3", "41 00 FD FF"},
                      HexCase{"TruncatedFourByte", "F0 9F 98 41", "FD FF 41 00"},
                      HexCase{"LoneContinuationBytes", "80 BF", "FD FF FD FF"},
                      HexCase{"LeadThenLead", "C3 C3 A9", "FD FF E9 00"},
                      HexCase{"AboveUnicode", "F4 90 80 80", "FD FF FD FF FD FF FD FF"},
                      HexCase{"FiveByteLead", "F8 88 80 80 80", "FD FF FD FF FD FF FD FF FD FF"},
                      HexCase{"EncodedSurrogate", "ED A0 80", "FD FF FD FF FD FF"},
                      HexCase{"OverlongThreeByte", "E0 80 AF", "FD FF FD FF FD FF"}),
    CaseName);

// ---------------------------------------------------------------------------

class Utf8ToAnsiTest : public ::testing::TestWithParam<HexCase> {};

TEST_P(Utf8ToAnsiTest, GivesWhatWindowsGives) {
  const std::string in = Hex(GetParam().in);
  EXPECT_EQ(ToHex(Utf8ToAnsiBytes(in)), ToHex(Hex(GetParam().out)));
  EXPECT_EQ(ToHex(Utf8ToAnsi(in)), ToHex(Hex(GetParam().out)));
  // The two-step road gives the same.
  EXPECT_EQ(ToHex(Utf16ToAnsi(Utf8ToUtf16(in))), ToHex(Hex(GetParam().out)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Utf8ToAnsiTest,
    ::testing::Values(
        HexCase{"Empty", "", ""}, HexCase{"Ascii", "61 62 63", "61 62 63"},
        // 线刷包大小
        HexCase{"FlashPackageSize", "E7 BA BF E5 88 B7 E5 8C 85 E5 A4 A7 E5 B0 8F", "CF DF CB A2 B0 FC B4 F3 D0 A1"},
        HexCase{"MixedWithAscii", "3C 62 3E E5 B0 8F 3C 2F 62 3E", "3C 62 3E D0 A1 3C 2F 62 3E"},
        HexCase{"IdeographicSpace", "E3 80 80", "A1 A1"}, HexCase{"Euro", "E2 82 AC", "80"},
        HexCase{"PrivateUseF8F5", "EF A3 B5", "FF"}, HexCase{"PrivateUseE000", "EE 80 80", "AA A1"},
        HexCase{"CompatibilityIdeographKept", "EF A8 8C", "FE 40"},  // U+FA0C, no normalisation of singles
        // Best fit.
        HexCase{"SuperscriptTwo", "C2 B2", "32"}, HexCase{"AGrave", "C3 80", "A8 A4"},
        HexCase{"SoftHyphen", "C2 AD", "2D"},
        // Composition of a base and a nonspacing mark.
        HexCase{"EAcuteComposed", "65 CC 81", "A8 A6"}, HexCase{"AGraveComposed", "61 CC 80", "A8 A4"},
        HexCase{"TwoMarksComposed", "75 CC 88 CC 81", "A8 B6"},  // u + diaeresis + acute -> ǘ
        HexCase{"SecondMarkLeftOver", "65 CC 81 CC 81", "A8 A6 3F"},
        HexCase{"NoComposite", "78 CC 81", "78 3F"},
        HexCase{"CompositeNotInCodePage", "73 CC 82", "73 3F"},  // ŝ is not in 936
        HexCase{"MarkAlone", "CC 81", "3F"}, HexCase{"MarkAfterChinese", "E5 B0 8F CC 81", "D0 A1 3F"},
        HexCase{"ComposedAfterAsciiRun", "61 62 63 65 CC 81 64", "61 62 63 A8 A6 64"},
        // No mapping: one '?' per UTF-16 unit; nothing dropped.
        HexCase{"NonBmpTwoMarks", "F0 9F 98 80", "3F 3F"}, HexCase{"ZeroWidthSpace", "E2 80 8B", "3F"},
        HexCase{"ByteOrderMark", "EF BB BF 41", "3F 41"}, HexCase{"Replacement", "EF BF BD", "3F"},
        HexCase{"InvalidUtf8", "C0 41 42", "3F 41 42"}, HexCase{"TruncatedAtEnd", "41 E5 B0", "41 3F"},
        HexCase{"TwoBadBytes", "74 FF FF 20", "74 3F 3F 20"}),
    CaseName);

TEST(Utf8ToAnsiNulTest, TextStopsAtNulBytesKeepIt) {
  const std::string in = Hex("41 00 E5 B0 8F");
  EXPECT_EQ(ToHex(Utf8ToAnsi(in)), "41");
  EXPECT_EQ(ToHex(Utf8ToAnsiBytes(in)), "41 00 D0 A1");
  EXPECT_EQ(ToHex(Utf16ToAnsi(Utf8ToUtf16(in))), "41");
  EXPECT_EQ(ToHex(Utf8ToAnsiBytes(Hex("00"))), "00");
  EXPECT_EQ(Utf8ToAnsi(Hex("00")), "");
}

TEST(Utf16ToAnsiTest, OddAndBrokenInput) {
  EXPECT_EQ(ToHex(Utf16ToAnsi(Hex("41 00 42"))), "41");  // the odd byte is dropped
  EXPECT_EQ(Utf16ToAnsi(Hex("41")), "");
  EXPECT_EQ(ToHex(Utf16ToAnsi(Hex("00 D8"))), "3F");                    // lone high surrogate at the end
  EXPECT_EQ(ToHex(Utf16ToAnsi(Hex("00 D8 41 00"))), "3F 41");           // lone high surrogate
  EXPECT_EQ(ToHex(Utf16ToAnsi(Hex("00 DC 00 D8 41 00"))), "3F 3F 41");  // reversed pair
  EXPECT_EQ(ToHex(Utf16ToAnsi(Hex("3D D8 00 DE"))), "3F 3F");
}

TEST(AnsiTest, LiteralsConvertOnce) {
  EXPECT_EQ(Ansi("线刷包大小").size(), 10u);
  EXPECT_EQ(ToHex(Ansi("#引号")), "23 D2 FD BA C5");
  EXPECT_EQ(Ansi(""), "");
}

// ---------------------------------------------------------------------------

class AnsiToUtf8Test : public ::testing::TestWithParam<HexCase> {};

TEST_P(AnsiToUtf8Test, DecodesLikeWindows) {
  EXPECT_EQ(ToHex(AnsiToUtf8(Hex(GetParam().in))), ToHex(Hex(GetParam().out)));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, AnsiToUtf8Test,
    ::testing::Values(HexCase{"Empty", "", ""}, HexCase{"Ascii", "41 42", "41 42"},
                      HexCase{"FlashPackageSize", "CF DF CB A2 B0 FC B4 F3 D0 A1",
                              "E7 BA BF E5 88 B7 E5 8C 85 E5 A4 A7 E5 B0 8F"},
                      HexCase{"Euro", "80", "E2 82 AC"}, HexCase{"ByteFF", "FF", "EF A3 B5"},
                      HexCase{"IdeographicSpace", "A1 A1", "E3 80 80"},
                      HexCase{"PrivateUse", "AA A1", "EE 80 80"},
                      HexCase{"TrailByte80", "81 80", "E4 BA 90"},
                      HexCase{"AsciiTrailByte", "81 41", "E4 B8 84"},
                      HexCase{"LoneLeadAtEnd", "41 81", "41 3F"},
                      HexCase{"InvalidTrailSwallowed", "81 20 41", "3F 41"},
                      HexCase{"Trail7FSwallowed", "81 7F 41", "3F 41"},
                      HexCase{"TrailFFSwallowed", "81 FF 41", "3F 41"},
                      HexCase{"Trail01Swallowed", "81 01", "3F"},
                      HexCase{"LeadBeforeNul", "81 00 41", "3F 00 41"},
                      HexCase{"NulIsOrdinary", "41 00 42", "41 00 42"},
                      HexCase{"LeadBeforeLead", "81 81 41", "E4 BA 96 41"}),
    CaseName);

TEST(RoundTripTest, EveryTwoByteCharacterOfThePageSurvives) {
  // Chinese page text, as the list page reader meets it.
  const std::string utf8 = "<td>稳定版 线刷包大小：1.2G 卡刷包 “开发版” ①②③ ＡＢＣ１２３　€</td>";
  EXPECT_EQ(AnsiToUtf8(Utf8ToAnsi(utf8)), utf8);
}

// Segments of ASCII and non-ASCII are converted separately for speed; the
// result must equal a conversion of the whole through UTF-16, whatever the
// bytes.
TEST(FastPathTest, MatchesTheTwoStepConversionOnRandomBytes) {
  std::mt19937 random(1234);
  const std::vector<std::string> pieces = {"a", "e", "<", " ", "\xCC\x81", "\xCC", "\xE5\xB0\x8F", "\xE5",
                                           "\xB0", "\xF0\x9F\x98\x80", "\xC3\xA9", "\xFF", std::string(1, '\0'),
                                           "\xEF\xBB\xBF", "\xE2\x82\xAC", "\xC2\xB2"};
  for (int round = 0; round < 2000; ++round) {
    std::string in;
    const int count = static_cast<int>(random() % 12);
    for (int i = 0; i < count; ++i) in += pieces[random() % pieces.size()];
    ASSERT_EQ(ToHex(Utf8ToAnsi(in)), ToHex(Utf16ToAnsi(Utf8ToUtf16(in)))) << ToHex(in);
    // The bytes form keeps NUL bytes: piece by piece, NUL to NUL.
    std::string pieceByPiece;
    std::size_t begin = 0;
    for (std::size_t nul = in.find('\0'); nul != std::string::npos; nul = in.find('\0', begin)) {
      pieceByPiece += Utf16ToAnsi(Utf8ToUtf16(in.substr(begin, nul - begin))) + std::string(1, '\0');
      begin = nul + 1;
    }
    pieceByPiece += Utf16ToAnsi(Utf8ToUtf16(in.substr(begin)));
    ASSERT_EQ(ToHex(Utf8ToAnsiBytes(in)), ToHex(pieceByPiece)) << ToHex(in);
  }
}

TEST(FastPathTest, NulBytesInsideTheBytesForm) {
  const std::string in = Hex("E5 B0 8F 00 65 CC 81 00");
  EXPECT_EQ(ToHex(Utf8ToAnsiBytes(in)), "D0 A1 00 A8 A6 00");
}

// ASCII is skipped eight bytes at a time: a character at any offset from the
// start of a word, and a base letter at the end of a word with its mark in
// the next one, come out as they would alone.
TEST(FastPathTest, CharactersAtEveryOffsetOfAnAsciiRun) {
  for (std::size_t offset = 0; offset < 24; ++offset) {
    const std::string ascii(offset, 'x');
    const std::string tail(40 - offset, 'y');
    EXPECT_EQ(ToHex(Utf8ToAnsi(ascii + "\xE5\xB0\x8F" + tail)), ToHex(ascii + "\xD0\xA1" + tail)) << offset;
    EXPECT_EQ(ToHex(Utf8ToAnsi(ascii + "e\xCC\x81" + tail)), ToHex(ascii + "\xA8\xA6" + tail)) << offset;
    EXPECT_EQ(ToHex(Utf8ToAnsi(ascii + "\xF0\x9F\x98\x80" + tail)), ToHex(ascii + "??" + tail)) << offset;
    EXPECT_EQ(ToHex(Utf8ToAnsi(ascii + "\xE5" + tail)), ToHex(ascii + "?" + tail)) << offset;
  }
}

// The encoder reads what code page 936 gives for each character from ICU a
// block at a time; every character of the BMP must come out as ICU's
// converter gives it on its own (best fit on, '?' where it has nothing).
TEST(FastPathTest, EveryBmpCharacterAsTheConverterGivesIt) {
  UErrorCode err = U_ZERO_ERROR;
  UConverter* converter = ucnv_open("windows-936-2000", &err);
  ASSERT_TRUE(U_SUCCESS(err) && converter != nullptr);
  ucnv_setFallback(converter, true);
  ucnv_setFromUCallBack(converter, UCNV_FROM_U_CALLBACK_SKIP, nullptr, nullptr, nullptr, &err);
  int differences = 0;
  for (char32_t cp = 1; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    const UChar unit = static_cast<UChar>(cp);
    char bytes[8];
    UErrorCode e = U_ZERO_ERROR;
    ucnv_reset(converter);
    const int32_t length = ucnv_fromUChars(converter, bytes, sizeof bytes, &unit, 1, &e);
    const std::string expected =
        U_SUCCESS(e) && length > 0 ? std::string(bytes, static_cast<std::size_t>(length)) : "?";
    const std::string utf16{static_cast<char>(cp & 0xFF), static_cast<char>(cp >> 8)};
    std::string utf8;
    if (cp < 0x80) {
      utf8 = std::string(1, static_cast<char>(cp));
    } else if (cp < 0x800) {
      utf8 = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
    } else {
      utf8 = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
              static_cast<char>(0x80 | (cp & 0x3F))};
    }
    if (Utf16ToAnsi(utf16) != expected || Utf8ToAnsi(utf8) != expected) {
      if (++differences <= 5) ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(cp);
    }
  }
  ucnv_close(converter);
  EXPECT_EQ(differences, 0);
}

TEST(LargeInputTest, SeveralMegabytesConvertWhole) {
  std::string utf8;
  std::string ansi;
  for (int i = 0; i < 100000; ++i) {
    utf8 += "<a href=\"/x\">\xE7\xBA\xBF\xE5\x88\xB7</a>\n";
    ansi += "<a href=\"/x\">\xCF\xDF\xCB\xA2</a>\n";
  }
  ASSERT_GT(utf8.size(), 2u * 1000 * 1000);
  EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
  EXPECT_EQ(Utf8ToAnsiBytes(utf8), ansi);
  EXPECT_EQ(AnsiToUtf8(ansi), utf8);
  EXPECT_EQ(Utf8ToUtf16(utf8).size(), 2 * (utf8.size() - 100000 * 4));
}

TEST(ThreadTest, ConvertersAreNotShared) {
  const std::string utf8 = "线刷包大小 e\xCC\x81 \xF0\x9F\x98\x80 ²";
  const std::string expected = Utf8ToAnsi(utf8);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (Utf8ToAnsi(utf8) != expected || AnsiToUtf8(expected).empty()) ++failures[t];
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
}  // namespace kestrune
