// SPDX-License-Identifier: MIT
#include "web/text.h"

#include <algorithm>
#include <climits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "web/codepage.h"

namespace kestrune {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

// Two-byte characters used below, in code page 936:
//   啊 = B0 A1, 小 = D0 A1, full-width space = A1 A1.
constexpr char kAh[] = "\xB0\xA1";
constexpr char kSmall[] = "\xD0\xA1";
constexpr char kWideSpace[] = "\xA1\xA1";

struct FindCase {
  const char* name;
  std::string text;
  std::string needle;
  int start;
  Case c;
  int first;
  int last;
};

class FindTest : public ::testing::TestWithParam<FindCase> {};

TEST_P(FindTest, FindsFirstAndLastOccurrence) {
  const FindCase& t = GetParam();
  EXPECT_EQ(Find(t.text, t.needle, t.start, t.c), t.first);
  EXPECT_EQ(FindLast(t.text, t.needle, t.start, t.c), t.last);
}

const Case S = Case::Sensitive;
const Case I = Case::Ignore;

INSTANTIATE_TEST_SUITE_P(
    Cases, FindTest,
    ::testing::Values(
        FindCase{"Plain", "abcabc", "bc", 1, S, 2, 5}, FindCase{"NotFound", "abcabc", "x", 1, S, -1, -1},
        FindCase{"StartSkipsEarlierOccurrence", "abcabc", "bc", 3, S, 5, 5},
        FindCase{"StartZeroIsFirstByte", "abcabc", "ab", 0, S, 1, 4},
        FindCase{"NegativeStartIsFirstByte", "abcabc", "ab", -7, S, 1, 4},
        FindCase{"StartOnLastByte", "abc", "c", 3, S, 3, 3},
        FindCase{"StartBeyondLastByte", "abc", "c", 4, S, -1, -1},
        FindCase{"NeedleLongerThanText", "ab", "abc", 1, S, -1, -1},
        FindCase{"EmptyNeedleFoundAtOne", "abc", "", 1, S, 1, 1},
        FindCase{"EmptyNeedleWithStartStillOne", "abc", "", 3, S, 1, 1},
        FindCase{"EmptyNeedleBeyondEnd", "abc", "", 4, S, -1, -1},
        FindCase{"EmptyNeedleEmptyText", "", "", 1, S, -1, -1},
        FindCase{"EmptyText", "", "a", 1, S, -1, -1},
        FindCase{"CaseRespected", "aXbxc", "xb", 1, S, -1, -1},
        FindCase{"CaseIgnored", "aXbxc", "xB", 1, I, 2, 2},
        FindCase{"CaseIgnoredFirstByteBothForms", "xAyaz", "A", 1, I, 2, 4},
        FindCase{"CaseIgnoredOnlyForLetters", "a[b{c", "{", 1, I, 4, 4},
        FindCase{"OverlappingPrefix", "aaab", "aab", 1, S, 2, 2},
        FindCase{"PartialMatchRestarts", "abababc", "ababc", 1, S, 3, 3},
        FindCase{"LastOfOverlapping", "aaaa", "aa", 1, S, 1, 3},
        // 啊啊: the trail of the first and the lead of the second form A1 B0.
        FindCase{"NeverMatchesAtTrailByte", std::string(kAh) + kAh, "\xA1\xB0", 1, S, -1, -1},
        FindCase{"AsciiTrailByteIsNoCharacter", "\x81" "A", "A", 1, S, -1, -1},
        FindCase{"AsciiAfterPair", "\x81" "AA", "A", 1, S, 3, 3},
        FindCase{"CaseIgnoredInsideAPair", "\x81" "A", "\x81" "a", 1, I, 1, 1},
        FindCase{"PairOfSpacesAfterPair", std::string(kAh) + kWideSpace, kWideSpace, 1, S, 3, 3},
        // A1 A1 A1: a full-width space and a lone lead byte; 2 is a trail.
        FindCase{"LastSkipsTrailByte", "\xA1\xA1\xA1", kWideSpace, 1, S, 1, 1},
        // The byte at the start position is taken as the start of a character.
        FindCase{"StartOnTrailByteCountsAsCharacter", std::string(kAh) + kAh, "\xA1\xB0", 2, S, 2, 2},
        FindCase{"ChineseNeedle", "x" + std::string(kSmall) + kAh + kSmall, kSmall, 1, S, 2, 6},
        // A byte search finds "@x" at byte 2 of each text; only a count of the
        // high bytes before it tells a trail byte from a character.
        FindCase{"HitOnTrailByteRefused", "\x81@x", "@x", 1, S, -1, -1},
        FindCase{"HitAfterTwoHighBytes", "\x81\x81@x", "@x", 1, S, 3, 3},
        FindCase{"HitAfterThreeHighBytesRefused", "\x81\x81\x81@x", "@x", 1, S, -1, -1},
        FindCase{"RefusedHitThenRealOne", "\x81@x@x", "@x", 1, S, 4, 4},
        FindCase{"HitAtStartPositionAfterHighByte", "\x81@x", "@x", 2, S, 2, 2},
        FindCase{"HighRunCountedFromStartPosition", "\x81\x81\x81@x", "@x", 2, S, 4, 4},
        FindCase{"HitAfterLowTrailByte", "\x81@\x81\x81@x", "@x", 1, S, 5, 5},
        FindCase{"CaseIgnoredNeedleWithoutLetters", "\x81@[\x81\x81@[", "@[", 1, I, 6, 6},
        FindCase{"CaseIgnoredNeedleWithLetterOnTrail", "\x81@x@X", "@x", 1, I, 4, 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(TextCutTest, LeftRightMidCountBytes) {
  EXPECT_EQ(Left("abcdef", 2), "ab");
  EXPECT_EQ(Left("abc", 10), "abc");
  EXPECT_EQ(Left("abc", 0), "");
  EXPECT_EQ(Left("abc", -1), "");
  EXPECT_EQ(Right("abcdef", 2), "ef");
  EXPECT_EQ(Right("abc", 10), "abc");
  EXPECT_EQ(Right("abc", 0), "");
  EXPECT_EQ(Right("abc", -3), "");
  EXPECT_EQ(Mid("abcdef", 2, 3), "bcd");
  EXPECT_EQ(Mid("abcdef", 5, 10), "ef");
  EXPECT_EQ(Mid("abcdef", 6, 1), "f");
  EXPECT_EQ(Mid("abcdef", 7, 1), "");
  EXPECT_EQ(Mid("abcdef", 0, 2), "");
  EXPECT_EQ(Mid("abcdef", -1, 2), "");
  EXPECT_EQ(Mid("abcdef", 2, 0), "");
  EXPECT_EQ(Mid("abcdef", 2, -1), "");
  // Cutting does not look at characters: half a pair comes out.
  EXPECT_EQ(Left(kAh, 1), "\xB0");
  EXPECT_EQ(Mid(kAh, 2, 1), "\xA1");
}

TEST(ReplaceAllTest, Rules) {
  EXPECT_EQ(ReplaceAll("a.b.c", ".", "::"), "a::b::c");
  EXPECT_EQ(ReplaceAll("aaa", "aa", "b"), "ba");  // no overlap, left to right
  EXPECT_EQ(ReplaceAll("abcb", "b"), "ac");        // no replacement: removal
  EXPECT_EQ(ReplaceAll("aXa", "x", "y"), "aXa");   // case respected
  EXPECT_EQ(ReplaceAll("abc", "", "y"), "abc");
  EXPECT_EQ(ReplaceAll("", "a", "y"), "");
  EXPECT_EQ(ReplaceAll("ab", "ab", ""), "");
  EXPECT_EQ(ReplaceAll("aa", "a", "aa"), "aaaa");  // the replacement is not rescanned
  const std::string twoChars = std::string(kAh) + kAh;
  EXPECT_EQ(ReplaceAll(twoChars, "\xA1\xB0", "X"), twoChars);
  EXPECT_EQ(ReplaceAll("\x81" "A" "A", "A", "B"), "\x81" "AB");
  EXPECT_EQ(ReplaceAll(twoChars, kAh, "-"), "--");
}

TEST(SpacesTest, TrimAndRemoveKnowTwoKindsOfSpace) {
  const std::string w = kWideSpace;
  EXPECT_EQ(Trim(" " + w + "a b" + w + " "), "a b");
  EXPECT_EQ(Trim("\ta\r\n"), "\ta\r\n");
  EXPECT_EQ(Trim("   "), "");
  EXPECT_EQ(Trim(w + w), "");
  EXPECT_EQ(Trim(""), "");
  EXPECT_EQ(Trim(std::string(kSmall) + w), kSmall);
  // 小 followed by a lone lead byte A1: the last two bytes read A1 A1 but are
  // no full-width space.
  EXPECT_EQ(Trim("\xD0\xA1\xA1"), "\xD0\xA1\xA1");
  // ... and a lone lead byte takes the space after it as its trail.
  EXPECT_EQ(Trim(" \xD0\xA1\xA1 "), "\xD0\xA1\xA1 ");

  EXPECT_EQ(RemoveSpaces(" a " + w + "b\tc "), "ab\tc");
  // 小 followed by A1 B0: A1 A1 stands across two characters.
  EXPECT_EQ(RemoveSpaces("\xD0\xA1\xA1\xB0"), "\xD0\xA1\xA1\xB0");
  EXPECT_EQ(RemoveSpaces(""), "");
}

TEST(CaseTest, OnlySingleByteLettersChange) {
  EXPECT_EQ(ToLower("AbC-Z\x81" "AZ"), "abc-z\x81" "Az");
  EXPECT_EQ(ToUpper("aBc-z\x81" "az"), "ABC-Z\x81" "aZ");
  EXPECT_EQ(ToLower("@[`{"), "@[`{");
  EXPECT_EQ(ToUpper(""), "");
}

struct SplitCase {
  const char* name;
  std::string text;
  std::string separator;
  TextArray items;
};

class SplitTest : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitTest, Items) { EXPECT_EQ(Split(GetParam().text, GetParam().separator), GetParam().items); }

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitTest,
    ::testing::Values(SplitCase{"Plain", "a;b;c", ";", {"a", "b", "c"}},
                      SplitCase{"TwoSeparatorsGiveEmptyItem", "a;;b", ";", {"a", "", "b"}},
                      SplitCase{"LeadingSeparatorGivesEmptyFirstItem", ";a", ";", {"", "a"}},
                      SplitCase{"TrailingSeparatorGivesNoEmptyLastItem", "a;", ";", {"a"}},
                      SplitCase{"OnlySeparator", ";", ";", {""}},
                      SplitCase{"OnlySeparators", ";;", ";", {"", ""}},
                      SplitCase{"EmptyText", "", ";", {}}, SplitCase{"EmptyTextEmptySeparator", "", "", {}},
                      SplitCase{"EmptySeparatorWholeText", "a;b", "", {"a;b"}},
                      SplitCase{"NoSeparator", "abc", ";", {"abc"}},
                      SplitCase{"LongSeparator", "a; b; ", "; ", {"a", "b"}},
                      // 7C is "|" and also a valid trail byte.
                      SplitCase{"TrailByteIsNoSeparator", "\x81|x|y", "|", {"\x81|x", "y"}},
                      SplitCase{"LinkAtSlash", "://host/dir/file.", "/", {":", "", "host", "dir", "file."}}),
    [](const auto& info) { return std::string(info.param.name); });

struct NumberCase {
  const char* name;
  std::string text;
  int value;
};

class ToNumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(ToNumberTest, ReadsLikeAtoi) { EXPECT_EQ(ToNumber(GetParam().text), GetParam().value); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ToNumberTest,
    ::testing::Values(NumberCase{"Plain", "8080", 8080}, NumberCase{"LeadingSpaces", "  \t\n42", 42},
                      NumberCase{"Negative", "-17", -17}, NumberCase{"Plus", "+5", 5},
                      NumberCase{"StopsAtNonDigit", "12ab34", 12}, NumberCase{"StopsAtSpace", "12 34", 12},
                      NumberCase{"NoNumber", "abc", 0}, NumberCase{"Empty", "", 0},
                      NumberCase{"SignAlone", "-", 0}, NumberCase{"SpaceAfterSign", "- 5", 0},
                      NumberCase{"TwoSigns", "+-5", 0},
                      // １２３, －４５, ＋７, full-width space then ８
                      NumberCase{"FullWidthDigits", "\xA3\xB1\xA3\xB2\xA3\xB3", 123},
                      NumberCase{"FullWidthMinus", "\xA3\xAD\xA3\xB4\xA3\xB5", -45},
                      NumberCase{"FullWidthPlus", "\xA3\xAB" "7", 7},
                      NumberCase{"FullWidthSpace", "\xA1\xA1\xA3\xB8", 8},
                      NumberCase{"MixedWidths", "1\xA3\xB0" "0", 100},
                      NumberCase{"ChineseCharacterStops", "12\xD0\xA1" "3", 12},
                      NumberCase{"Max", "2147483647", INT_MAX}, NumberCase{"Min", "-2147483648", INT_MIN},
                      NumberCase{"OverflowSaturates", "99999999999999999999", INT_MAX},
                      NumberCase{"UnderflowSaturates", "-99999999999999999999", INT_MIN},
                      NumberCase{"JustAboveMax", "2147483648", INT_MAX}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(BytesTest, TextAndBytes) {
  using namespace std::string_literals;
  EXPECT_EQ(BytesToText("ab\0cd"s), "ab");
  EXPECT_EQ(BytesToText("abc"), "abc");
  EXPECT_EQ(BytesToText("\0a"s), "");
  EXPECT_EQ(BytesToText(""), "");
  EXPECT_EQ(TextToBytes("a\xB0\xA1"), "a\xB0\xA1");
  EXPECT_EQ(TextToBytes(""), "");
}

struct BetweenCase {
  const char* name;
  std::string source;
  std::string left;
  std::string right;
  int start;
  bool caseSensitive;
  std::string expected;
};

class TextBetweenTest : public ::testing::TestWithParam<BetweenCase> {};

TEST_P(TextBetweenTest, Cuts) {
  const BetweenCase& t = GetParam();
  EXPECT_EQ(TextBetween(t.source, t.left, t.right, t.start, t.caseSensitive), t.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TextBetweenTest,
    ::testing::Values(
        BetweenCase{"Plain", "a<b>c</b>d", "<b>", "</b>", 1, false, "c"},
        BetweenCase{"CaseIgnoredByDefault", "a<b>c</b>d", "<B>", "</B>", 1, false, "c"},
        BetweenCase{"CaseSensitive", "a<b>c</b>d", "<B>", "</B>", 1, true, ""},
        BetweenCase{"RightOnlyAfterLeft", "x]y[z]", "[", "]", 1, false, "z"},
        BetweenCase{"QuoteMarker", "<a id=\"42\">", Ansi("id=#引号"), Ansi("#引号"), 1, false, "42"},
        BetweenCase{"QuoteMarkerTwiceInOneMarker", "say \"hi\" now", Ansi("#引号"), Ansi("#引号 now"), 1, false,
                    "hi"},
        BetweenCase{"RightFollowsAtOnce", "a<b></b>", "<b>", "</b>", 1, false, ""},
        BetweenCase{"LeftEndsAtLastByte", "abc<b>", "<b>", "<", 1, false, ""},
        BetweenCase{"LeftMissing", "abc", "<", ">", 1, false, ""},
        BetweenCase{"RightMissing", "a<bc", "<", ">", 1, false, ""},
        BetweenCase{"EmptyLeftTakesFromFirstByte", "abc]d]", "", "]", 1, false, "abc"},
        BetweenCase{"EmptyLeftIgnoresStart", "abc]d]", "", "]", 5, false, "abc"},
        BetweenCase{"EmptyRight", "abc", "a", "", 1, false, ""},
        BetweenCase{"StartSkipsEarlierLeft", "<b>x</b><b>y</b>", "<b>", "</b>", 5, false, "y"},
        BetweenCase{"StartOnLeftMarker", "<b>x</b><b>y</b>", "<b>", "</b>", 9, false, "y"},
        BetweenCase{"StartBeyondSource", "<b>x</b>", "<b>", "</b>", 20, false, ""},
        BetweenCase{"EmptySource", "", "<b>", "</b>", 1, false, ""},
        // 啊啊: A1 B0 stands across two characters and is no marker.
        BetweenCase{"MarkerNeverAtTrailByte", std::string(kAh) + kAh + "]x]", "\xA1\xB0", "]", 1, false, ""},
        BetweenCase{"ChineseMarkers", Ansi("<td>线刷包大小：</td><td>512M</td>"), Ansi("线刷包大小：</td><td>"),
                    "</td>", 1, false, "512M"}),
    [](const auto& info) { return std::string(info.param.name); });

struct RemoveCase {
  const char* name;
  std::string source;
  std::vector<std::string> texts;  // up to ten
  std::string expected;
};

class RemoveTextsTest : public ::testing::TestWithParam<RemoveCase> {};

TEST_P(RemoveTextsTest, Removes) {
  const RemoveCase& t = GetParam();
  std::vector<std::string> texts = t.texts;
  texts.resize(10);
  EXPECT_EQ(RemoveTexts(t.source, texts[0], texts[1], texts[2], texts[3], texts[4], texts[5], texts[6], texts[7],
                        texts[8], texts[9]),
            t.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RemoveTextsTest,
    ::testing::Values(RemoveCase{"TwoTexts", "aXbYc", {"X", "Y"}, "abc"},
                      RemoveCase{"EveryOccurrence", "aXYYb", {"X", "Y"}, "ab"},
                      RemoveCase{"RemovalJoinsLaterText", "aYXYb", {"X", "YY"}, "ab"},
                      RemoveCase{"EarlierTextNotLookedForAgain", "aXYXb", {"Y", "XX"}, "ab"},
                      RemoveCase{"LaterJoinOfEarlierTextStays", "aXYXb", {"XX", "Y"}, "aXXb"},
                      RemoveCase{"AllEmpty", "a b c", {}, "a b c"},
                      RemoveCase{"CaseRespected", "aXx", {"x"}, "aX"},
                      RemoveCase{"AllTenUsed", "0123456789-", {"0", "1", "2", "3", "4", "5", "6", "7", "8", "9"},
                                 "-"},
                      RemoveCase{"EmptySource", "", {"a"}, ""},
                      RemoveCase{"NeverAtTrailByte", "\xB0\xA1\xB0\xA1", {"\xA1\xB0"}, "\xB0\xA1\xB0\xA1"},
                      RemoveCase{"Blanks", Ansi(" 线刷包　大小 "), {" ", Ansi("　")}, Ansi("线刷包大小")}),
    [](const auto& info) { return std::string(info.param.name); });

// A page of several MB with an occurrence every few bytes: an implementation
// that copies the rest of the text per occurrence would not finish.
TEST(LargePageTest, ManyOccurrencesInTwoMegabytes) {
  std::string page;
  for (int i = 0; i < 200000; ++i) page += "<td>" + std::string(kAh) + "x</td>";
  ASSERT_GT(page.size(), 2u * 1000 * 1000);
  const std::string removed = RemoveTexts(page, "<td>", "</td>");
  EXPECT_EQ(removed.size(), 200000u * 3);
  EXPECT_EQ(removed.substr(0, 6), std::string(kAh) + "x" + kAh + "x");
  EXPECT_EQ(ReplaceAll(page, "x", "yy").size(), page.size() + 200000);
  EXPECT_EQ(Split(page, "</td>").size(), 200000u);
  EXPECT_EQ(FindLast(page, "<TD>", 1, Case::Ignore), static_cast<int>(page.size()) - 12 + 1);
  EXPECT_EQ(TextBetween(page + "<END>tail", "</TD><end>", "l"), "tai");
}

// The in-place form takes the same texts out as the copying one, and the page
// may hold the text it is asked to remove.
TEST(RemoveTextsInPlaceTest, SameAsCopyingForm) {
  const std::vector<std::pair<std::string, std::string>> cases = {{"aXbXc", "X"},
                                                                  {"XXX", "XX"},
                                                                  {"", "X"},
                                                                  {"abc", ""},
                                                                  {"\xB0\xA1\xB0\xA1", "\xA1\xB0"},
                                                                  {"\x81@x@x", "@x"},
                                                                  {"<em>a</span><em>a</span>b", "<em>a</span>"}};
  for (const auto& [source, what] : cases) {
    std::string page = source;
    RemoveTextsInPlace(page, what);
    EXPECT_EQ(page, RemoveTexts(source, what)) << source << " - " << what;
  }
  std::string page = "<em>one</span>x<em>one</span>y";
  RemoveTextsInPlace(page, std::string_view(page).substr(0, 14));
  EXPECT_EQ(page, "xy");
}

// The searches take shortcuts (byte searches of whole blocks, checked for
// character starts afterwards); on random texts full of pairs and near misses
// they must agree with a plain walk over the characters.
class ReferenceSearch {
 public:
  static std::size_t CharLength(const std::string& text, std::size_t i) {
    return static_cast<unsigned char>(text[i]) >= 0x80 && i + 1 < text.size() ? 2 : 1;
  }
  static bool MatchesAt(const std::string& text, std::size_t i, const std::string& needle, Case c) {
    if (text.size() - i < needle.size()) return false;
    for (std::size_t k = 0; k < needle.size(); ++k) {
      auto fold = [c](char b) { return c == Case::Ignore && b >= 'A' && b <= 'Z' ? static_cast<char>(b + 32) : b; };
      if (fold(text[i + k]) != fold(needle[k])) return false;
    }
    return true;
  }
  static int Find(const std::string& text, const std::string& needle, std::size_t from, Case c) {
    for (std::size_t i = from; i < text.size(); i += CharLength(text, i)) {
      if (MatchesAt(text, i, needle, c)) return static_cast<int>(i) + 1;
    }
    return -1;
  }
  static std::string Replace(const std::string& text, const std::string& what, const std::string& with) {
    std::string result;
    for (std::size_t i = 0; i < text.size();) {
      if (MatchesAt(text, i, what, Case::Sensitive)) {
        result += with;
        i += what.size();
      } else {
        result += text.substr(i, CharLength(text, i));
        i += CharLength(text, i);
      }
    }
    return result;
  }
};

TEST(ShortcutTest, RandomTextsAgreeWithACharacterWalk) {
  std::mt19937 random(2024);
  const std::string alphabet = "aAb<@x\x81\xB0\xA1";
  auto randomText = [&](std::size_t length) {
    std::string text;
    for (std::size_t i = 0; i < length; ++i) text.push_back(alphabet[random() % alphabet.size()]);
    return text;
  };
  for (int round = 0; round < 20000; ++round) {
    // Mostly a few repeats of one piece, so that long needles occur often and
    // nearly; sometimes plain noise.
    std::string text;
    if (round % 4 == 0) {
      text = randomText(random() % 300);
    } else {
      const std::string piece = randomText(1 + random() % 80);
      for (int r = static_cast<int>(random() % 8); r >= 0; --r) text += piece + randomText(random() % 3);
    }
    if (text.empty()) continue;
    const std::size_t at = random() % text.size();
    const std::string needle = round % 5 == 0
                                   ? randomText(1 + random() % 4)
                                   : text.substr(at, 1 + random() % std::min<std::size_t>(70, text.size() - at));
    const std::size_t from = round % 3 == 0 ? random() % text.size() : 0;
    const int start = static_cast<int>(from) + 1;
    SCOPED_TRACE(::testing::PrintToString(text) + " / " + ::testing::PrintToString(needle) + " from " +
                 std::to_string(start));
    ASSERT_EQ(Find(text, needle, start), ReferenceSearch::Find(text, needle, from, Case::Sensitive));
    ASSERT_EQ(Find(text, needle, start, Case::Ignore), ReferenceSearch::Find(text, needle, from, Case::Ignore));
    const std::string expected = ReferenceSearch::Replace(text, needle, "");
    ASSERT_EQ(ReplaceAll(text, needle, "#"), ReferenceSearch::Replace(text, needle, "#"));
    ASSERT_EQ(RemoveTexts(text, needle), expected);
    std::string inPlace = text;
    RemoveTextsInPlace(inPlace, needle);
    ASSERT_EQ(inPlace, expected);
  }
}

// Many partial matches of a long needle over a long run of two-byte
// characters: the search must stay linear.
TEST(LargePageTest, LongNeedleOverTwoByteRun) {
  std::string run;
  for (int i = 0; i < 500000; ++i) run += kAh;
  const std::string needle = run.substr(0, 20000) + "x";
  EXPECT_EQ(Find(run, needle), -1);
  EXPECT_EQ(Find(run + "x", needle), static_cast<int>(run.size()) - 20000 + 1);
  EXPECT_EQ(FindLast(run + "x", needle), static_cast<int>(run.size()) - 20000 + 1);
  // Shifted by one byte the needle only matches at trail bytes.
  EXPECT_EQ(Find(run + "x", run.substr(1, 19999) + "x"), -1);
}

// Every position of a long page is a near miss: the first and last bytes and
// a long head agree with the needle. Checking them one by one would cost the
// needle's length at each.
TEST(LargePageTest, NearMissAtEveryPosition) {
  const std::string page(1 << 20, 'a');
  const std::string needle = std::string(1000, 'a') + "b" + std::string(1000, 'a');
  EXPECT_EQ(Find(page, needle), -1);
  EXPECT_EQ(Find(page + needle, needle), (1 << 20) + 1);
  EXPECT_EQ(RemoveTexts(page + needle + page, needle), page + page);
}

// A long needle that a byte search finds at every trail byte of a long run of
// pairs: refusing the hits one by one must not cost the needle's length each
// (that would take minutes here).
TEST(LargePageTest, LongNeedleFoundAtEveryTrailByte) {
  std::string run;
  for (int i = 0; i < 500000; ++i) run += "\x81@";
  const std::string needle = run.substr(1, 200000);  // "@\x81@\x81..."
  EXPECT_EQ(Find(run, needle), -1);
  EXPECT_EQ(RemoveTexts(run, needle), run);
  EXPECT_EQ(Find("@" + run, needle), 1);
  // From a start on a trail byte the pairs are read one byte later.
  EXPECT_EQ(Find(run, needle, 2), 2);
}

}  // namespace
}  // namespace kestrune
