// SPDX-License-Identifier: MIT
#include "regex/regex_matcher.h"

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "app/shared_state.h"
#include "web/codepage.h"

namespace kestrune {
namespace {

using std::chrono::steady_clock;

std::vector<Text> AllMatches(const RegexMatcher& m) {
  std::vector<Text> out;
  for (int i = 1; i <= m.GetMatchCount(); ++i) out.push_back(m.GetMatchText(i));
  return out;
}

// Matching semantics, with the options the program uses unless a case says
// otherwise (ignore case, multi-line, global).
struct SemanticsCase {
  const char* name;
  Text pattern;
  Text subject;
  std::vector<Text> matches;
  std::optional<bool> ignoreCase = std::nullopt;
  std::optional<bool> multiline = std::nullopt;
  std::optional<bool> global = std::nullopt;
};

class Semantics : public testing::TestWithParam<SemanticsCase> {};

TEST_P(Semantics, FindsTheExpectedMatches) {
  const SemanticsCase& c = GetParam();
  RegexMatcher m;
  ASSERT_TRUE(m.Create(c.pattern, c.ignoreCase, c.multiline, c.global));
  EXPECT_EQ(m.Search(c.subject), static_cast<int>(c.matches.size()));
  EXPECT_EQ(AllMatches(m), c.matches);
}

INSTANTIATE_TEST_SUITE_P(
    RegexMatcher, Semantics,
    testing::Values(
        SemanticsCase{"LazyRepetitionStopsAtFirstEnding", "http(.*?)tgz", "http://a/x.tgz.tgz", {"http://a/x.tgz"}},
        SemanticsCase{"IgnoresCaseByDefault", "http(.*?)tgz", "HTTP://A/X.TGZ", {"HTTP://A/X.TGZ"}},
        SemanticsCase{"HeedsCaseWhenAsked", "abc", "ABC abc", {"abc"}, false},
        SemanticsCase{"GlobalByDefault", "a\\d", "a1 a2 a3", {"a1", "a2", "a3"}},
        SemanticsCase{"NonGlobalStopsAtFirst", "a\\d", "a1 a2 a3", {"a1"}, true, true, false},
        SemanticsCase{"DotMatchesNeitherCrNorLf", ".+", "ab\r\ncd\ref\ngh", {"ab", "cd", "ef", "gh"}},
        SemanticsCase{"MultilineAnchorsBesideCrAndLf", "^\\w+$", "ab\rcd\r\nef\ngh", {"ab", "cd", "ef", "gh"}},
        SemanticsCase{"WithoutMultilineCaretOnlyAtStart", "^\\w", "ab\ncd", {"a"}, true, false},
        SemanticsCase{"WithoutMultilineDollarOnlyAtVeryEnd", "b$", "ab\n", {}, true, false},
        SemanticsCase{"EmptyMatchesAdvanceOneCharacter", "x*", "axxb", {"", "xx", "", ""}},
        SemanticsCase{"LazyEmptyMatchesAtEveryPosition", "x*?", "ax", {"", "", ""}},
        SemanticsCase{"EmptyMatchAdvancesOverAWholeChineseCharacter", "x*", Ansi("中x"), {"", "x", ""}},
        SemanticsCase{"UnicodeEscape", "\\u0041\\u4e2d", Ansi("xa中"), {Ansi("a中")}},
        SemanticsCase{"NegatedEmptyClassMatchesAnything", "a[^]b", "a\nb", {"a\nb"}},
        SemanticsCase{"EmptyClassMatchesNothing", "a[]", "a", {}},
        SemanticsCase{"BraceWithoutLowerBoundIsLiteral", "a{,2}", "aa a{,2}", {"a{,2}"}},
        SemanticsCase{"BackreferenceToUnsetGroupMatchesEmpty", "(a)?b\\1c", "bc", {"bc"}},
        SemanticsCase{"DotTakesAWholeChineseCharacter", "x.y", Ansi("x中y"), {Ansi("x中y")}},
        SemanticsCase{"ChineseLiteralIgnoringCase", Ansi("配5【(.*?)】"), Ansi("前配5【A|b】后配5【c】"),
                      {Ansi("配5【A|b】"), Ansi("配5【c】")}},
        // 丄 is 81 41, 乤 is 81 61, 乗 is 81 5C and 亅 is 81 7C: their trail
        // bytes are never taken for the ASCII characters they equal.
        SemanticsCase{"TrailByteIsNotALetter", "a", Ansi("丄乤"), {}},
        SemanticsCase{"TrailByteIsNotABackslashOrBar", "[\\\\|]", Ansi("乗亅"), {}},
        SemanticsCase{"TrailByteIsNotMatchedByAClass", "[@-~]+", Ansi("丄x"), {"x"}}),
    [](const testing::TestParamInfo<SemanticsCase>& info) { return std::string(info.param.name); });

TEST(RegexMatcher, TwoLinksGiveTwoMatchesWithTheirLazyGroups) {
  RegexMatcher m;
  m.Create("http(.*?)tgz");
  ASSERT_EQ(m.Search("get http://a.com/f/one.tgz or HTTP://B.COM/G/TWO.TGZ now"), 2);
  EXPECT_EQ(m.GetMatchCount(), 2);
  EXPECT_EQ(m.GetSubMatchText(1, 1), "://a.com/f/one.");
  EXPECT_EQ(m.GetSubMatchText(2, 1), "://B.COM/G/TWO.");
  EXPECT_EQ(m.GetMatchText(2), "HTTP://B.COM/G/TWO.TGZ");
  EXPECT_EQ(m.GetSubMatchCount(), 1);
}

TEST(RegexMatcher, NoMatchGivesZeroAndEmptyTexts) {
  RegexMatcher m;
  m.Create("http(.*?)tgz");
  EXPECT_EQ(m.Search("nothing here.zip"), 0);
  EXPECT_EQ(m.GetMatchCount(), 0);
  EXPECT_EQ(m.GetMatchText(1), "");
  EXPECT_EQ(m.GetSubMatchText(1, 1), "");
  EXPECT_EQ(m.GetSubMatchCount(), 0);
}

TEST(RegexMatcher, IndexesOutsideMatchesAndGroupsReadEmpty) {
  RegexMatcher m;
  m.Create("(a)(b)?");
  ASSERT_EQ(m.Search("ab a"), 2);
  EXPECT_EQ(m.GetSubMatchCount(), 2);
  EXPECT_EQ(m.GetSubMatchText(1, 2), "b");
  for (auto [i, j] : {std::pair{0, 1}, {-1, 1}, {3, 1}, {1, 0}, {1, -1}, {1, 3}, {2, 3}}) {
    SCOPED_TRACE(std::to_string(i) + "," + std::to_string(j));
    EXPECT_EQ(m.GetSubMatchText(i, j), "");
  }
  EXPECT_EQ(m.GetMatchText(0), "");
  EXPECT_EQ(m.GetMatchText(3), "");
  EXPECT_EQ(m.GetSubMatchText(2, 2), "") << "group 2 took no part in match 2";
}

TEST(RegexMatcher, GroupThatTookNoPartReadsEmpty) {
  RegexMatcher m;
  m.Create("(a)|(b)");
  ASSERT_EQ(m.Search("b"), 1);
  EXPECT_EQ(m.GetSubMatchText(1, 1), "");
  EXPECT_EQ(m.GetSubMatchText(1, 2), "b");
}

TEST(RegexMatcher, WithoutEngineEverythingIsEmpty) {
  RegexMatcher m;
  EXPECT_EQ(m.GetPattern(), "");
  EXPECT_EQ(m.Search("abc"), 0);
  EXPECT_EQ(m.GetMatchText(1), "");
  EXPECT_EQ(m.GetSubMatchText(1, 1), "");
  EXPECT_EQ(m.GetSubMatchCount(), 0);
  EXPECT_EQ(m.Replace("abc", "x"), "");
}

TEST(RegexMatcher, SecondSearchReplacesTheFirstAndCreateEmptiesThem) {
  RegexMatcher m;
  m.Create("(\\d)");
  ASSERT_EQ(m.Search("1 2 3"), 3);
  ASSERT_EQ(m.Search("7"), 1);
  EXPECT_EQ(m.GetSubMatchText(1, 1), "7");
  EXPECT_EQ(m.GetMatchText(2), "");

  EXPECT_TRUE(m.Create("(x)"));
  EXPECT_EQ(m.GetMatchCount(), 0);
  EXPECT_EQ(m.GetMatchText(1), "");
  EXPECT_EQ(m.GetSubMatchCount(), 0);
  EXPECT_EQ(m.GetPattern(), "(x)");
}

TEST(RegexMatcher, PatternThatDoesNotCompileLeavesAnEngineThatFindsNothing) {
  RegexMatcher m;
  EXPECT_TRUE(m.Create("a(b"));
  EXPECT_EQ(m.GetPattern(), "a(b");
  EXPECT_EQ(m.Search("ab a(b"), 0);
  EXPECT_EQ(m.GetMatchText(1), "");
  EXPECT_EQ(m.Replace("ab", "x"), "");
  // \C could stop a match inside a character.
  EXPECT_TRUE(m.Create("\\C"));
  EXPECT_EQ(m.Search(Ansi("中")), 0);
}

TEST(RegexMatcher, ChinesePatternAndResultsAreCodePage936) {
  static const Text page = Ansi("<p>配5【1.2.3|新版本|说明】</p>");
  RegexMatcher m;
  m.Create(Ansi("配5【(.*?)】"));
  EXPECT_EQ(m.GetPattern(), Ansi("配5【(.*?)】"));
  ASSERT_EQ(m.Search(page), 1);
  EXPECT_EQ(m.GetSubMatchText(1, 1), Ansi("1.2.3|新版本|说明"));
}

TEST(RegexMatcher, CopySharesEngineMatchesAndCount) {
  RegexMatcher original;
  original.Create("(\\w)\\d");
  original.Search("a1 b2");
  RegexMatcher copy(original);
  EXPECT_EQ(copy.GetPattern(), "(\\w)\\d");
  EXPECT_EQ(copy.GetMatchCount(), 2);
  EXPECT_EQ(copy.GetSubMatchText(2, 1), "b");

  // Each goes on on its own: new results or a new engine in one leave the
  // other's untouched.
  original.Create("z");
  EXPECT_EQ(copy.GetSubMatchText(1, 1), "a");
  EXPECT_EQ(copy.Search("c3"), 1);
  EXPECT_EQ(original.GetMatchCount(), 0);

  RegexMatcher assigned;
  assigned = copy;
  EXPECT_EQ(assigned.GetMatchText(1), "c3");
}

struct ReplaceCase {
  const char* name;
  Text pattern;
  Text source;
  Text replacement;
  Text expected;
  std::optional<bool> global = std::nullopt;
};

class Replacing : public testing::TestWithParam<ReplaceCase> {};

TEST_P(Replacing, GivesTheExpectedText) {
  const ReplaceCase& c = GetParam();
  RegexMatcher m;
  m.Create(c.pattern, std::nullopt, std::nullopt, c.global);
  EXPECT_EQ(m.Replace(c.source, c.replacement), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    RegexMatcher, Replacing,
    testing::Values(ReplaceCase{"GroupReferences", "(\\w)(\\d)", "a1-B2", "$2$1", "1a-2B"},
                    ReplaceCase{"WholeMatchAndDollar", "\\d", "a1", "[$&$$]", "a[1$]"},
                    ReplaceCase{"BeforeAndAfterTheMatch", "b", "abc", "<$`|$'>", "a<a|c>c"},
                    ReplaceCase{"MissingGroupStaysLiteral", "(a)", "a", "$2$0$", "$2$0$"},
                    ReplaceCase{"TwoDigitGroupFallsBackToOne", "(a)", "a", "$10", "a0"},
                    ReplaceCase{"UnsetGroupIsEmpty", "(x)?a", "a", "[$1]", "[]"},
                    ReplaceCase{"NonGlobalReplacesFirstOnly", "o", "foo", "0", "f0o", false},
                    ReplaceCase{"IgnoresCase", "ab", "AB ab", "x", "x x"},
                    ReplaceCase{"EmptyMatchesBetweenCharacters", "x*", "abc", "-", "-a-b-c-"},
                    ReplaceCase{"Chinese", Ansi("版本(\\d)"), Ansi("新版本2。"), Ansi("第$1版"), Ansi("新第2版。")}),
    [](const testing::TestParamInfo<ReplaceCase>& info) { return std::string(info.param.name); });

// Hostile patterns and subjects, each run on machine code and, through
// "(*NO_JIT)", on the interpreter. The time bounds only catch a hang.
constexpr auto kHangBound = std::chrono::seconds(10);

class Limits : public testing::TestWithParam<const char*> {
 protected:
  Text Pattern(const Text& body) const { return GetParam() + body; }
};

INSTANTIATE_TEST_SUITE_P(RegexMatcher, Limits, testing::Values("", "(*NO_JIT)"),
                         [](const testing::TestParamInfo<const char*>& info) {
                           return std::string(*info.param ? "Interpreted" : "Compiled");
                         });

TEST_P(Limits, NestedAlternationBombStopsAndFindsNothing) {
  Text subject;
  for (int i = 0; i < 10000; ++i) subject += "ab";
  subject += "xc";
  RegexMatcher m;
  m.Create(Pattern("(a|b|ab)*c"));
  auto start = steady_clock::now();
  EXPECT_EQ(m.Search(subject), 0);
  EXPECT_EQ(m.Replace(subject, "-"), "");
  EXPECT_LT(steady_clock::now() - start, kHangBound);
}

TEST_P(Limits, BacktrackingUnderTheLimitsAtEveryPositionStillStops) {
  // Each start position stays under the per-position limits, but together
  // they would run for a minute: the whole search runs out of budget.
  Text subject;
  for (int i = 0; i < 300; ++i) subject += std::string(20, 'a') + "!";
  subject += "b";
  RegexMatcher m;
  m.Create(Pattern("(a|a)*b"));
  auto start = steady_clock::now();
  EXPECT_EQ(m.Search(subject), 0);
  EXPECT_LT(steady_clock::now() - start, kHangBound);
}

TEST_P(Limits, LazyGroupSpanningMegabytesStillMatches) {
  // A lazy group costs about one match step per character it spans; 8 MB
  // needs a match limit above 8 M.
  Text subject = "<a href=\"http://x/";
  subject += std::string(8 << 20, 'q');
  subject += ".tgz\">";
  RegexMatcher m;
  m.Create(Pattern("http(.*?)tgz"));
  ASSERT_EQ(m.Search(subject), 1);
  EXPECT_EQ(m.GetSubMatchText(1, 1).size(), (8u << 20) + 6);  // "://x/" and "."
}

TEST_P(Limits, RepeatedGroupOfAThousandStillMatches) {
  // Each repetition of a capturing group costs two levels of depth.
  Text subject;
  for (int i = 0; i < 1000; ++i) subject += "ab";
  subject += "c";
  RegexMatcher m;
  m.Create(Pattern("(ab)*c"));
  ASSERT_EQ(m.Search(subject), 1);
  EXPECT_EQ(m.GetMatchText(1), subject);
  EXPECT_EQ(m.GetSubMatchText(1, 1), "ab");
}

TEST(RegexMatcher, ManyMatchesInALargePage) {
  Text page;
  for (int i = 0; i < 20000; ++i) page += "<a href='http://d.example/f/" + std::to_string(i) + ".tgz'>" + Ansi("下载") + "</a>\r\n";
  RegexMatcher m;
  m.Create("http(.*?)tgz");
  ASSERT_EQ(m.Search(page), 20000);
  EXPECT_EQ(m.GetSubMatchText(20000, 1), "://d.example/f/19999.");
}

// The shared Matcher under its lock: every thread's Create-Search-read
// sequence sees its own pattern's results, never another thread's.
TEST(RegexMatcher, SharedMatcherSequencesUnderTheLockDoNotInterleave) {
  auto state = CreateSharedState();
  const Text page = Ansi("<t0>零</t0><t1>一</t1><t2>二</t2><t3>三</t3>");
  const std::vector<Text> expected = {Ansi("零"), Ansi("一"), Ansi("二"), Ansi("三")};
  std::vector<int> wrong(expected.size(), 0);
  std::vector<std::thread> threads;
  for (std::size_t k = 0; k < expected.size(); ++k) {
    threads.emplace_back([&, k] {
      const Text tag = "t" + std::to_string(k);
      for (int round = 0; round < 200; ++round) {
        auto lock = state->LockMatcher();
        state->Matcher->Create("<" + tag + ">(.*?)</" + tag + ">");
        std::this_thread::yield();
        int count = state->Matcher->Search(page);
        std::this_thread::yield();
        if (count != 1 || state->Matcher->GetSubMatchText(1, 1) != expected[k] ||
            state->Matcher->GetPattern() != "<" + tag + ">(.*?)</" + tag + ">")
          ++wrong[k];
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(wrong, std::vector<int>(expected.size(), 0));
  EXPECT_TRUE(ReleaseSharedState(*state));
}

// Results made on one thread may be read and released on another; copies
// share them without copying.
TEST(RegexMatcher, ResultsOutliveTheThreadThatMadeThem) {
  RegexMatcher m;
  std::thread([&] {
    m.Create("(\\d+)");
    m.Search("a 12 b 345");
  }).join();
  RegexMatcher copy(m);
  std::thread reader([&] { EXPECT_EQ(copy.GetSubMatchText(2, 1), "345"); });
  EXPECT_EQ(m.GetSubMatchText(1, 1), "12");
  reader.join();
}

}  // namespace
}  // namespace kestrune
