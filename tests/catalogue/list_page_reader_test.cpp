// SPDX-License-Identifier: MIT
#include "catalogue/list_page_reader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "catalogue/catalogue.h"
#include "catalogue/catalogue_harness.h"
#include "web/codepage.h"
#include "web/text.h"

namespace kestrune::test {
namespace {

const std::string kNotFound = "官网未发现该ROM";
const std::string kBlank = "about:blank";
const std::vector<std::string> kNoLabels(5, "");
const std::vector<std::string> kNothingFound(10, kNotFound);
const std::vector<std::string> kNoLinks(10, kBlank);
const std::vector<bool> kAllDisabled(10, true);
const std::vector<bool> kNoneDisabled(10, false);

const char kGbkMeta[] = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=gb2312\">";
const char kUtf8Meta[] = "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">";

struct PageCase {
  std::string name;
  std::string fixture;  // "" : an empty answer
  Served served = Served::Ansi;
  std::string meta;
  int status = 200;
  std::vector<std::string> labels;
  std::vector<std::string> captions;  // 按钮2..按钮11
  std::vector<std::string> links;     // "@HOST@" stands for the site
  std::vector<bool> disabled;
};

void PrintTo(const PageCase& c, std::ostream* os) { *os << c.name; }

const std::vector<std::string> kStandardLabels = {"MIUI75.10.29开发版", "MIUI7　5.10.22开发版", "MIUI75.10.15开发版",
                                                  "MIUI75.10.8开发版", "MIUI65.9.24开发版"};
const std::vector<std::string> kStandardCaptions = {
    "线刷包大小：1.2GB", "卡刷包大小：620MB", "线刷包大小：1.2&nbsp;GB", "卡刷包大小：618MB", "线刷包大小：1.1GB",
    "卡刷包大小：615MB", "线刷包大小：1.1GB", "卡刷包大小：612MB",       "线刷包大小：1.1GB", "卡刷包大小：610MB"};
const std::vector<std::string> kStandardLinks = {"@HOST@/pkg/images_5.10.29.tgz", "@HOST@/pkg/miui_5.10.29.zip",
                                                 "@HOST@/pkg/images_5.10.22.tgz", "@HOST@/pkg/miui_5.10.22.zip",
                                                 "@HOST@/pkg/images_5.10.15.tgz", "@HOST@/pkg/miui_5.10.15.zip",
                                                 "@HOST@/pkg/images_5.10.8.tgz",  "@HOST@/pkg/miui_5.10.8.zip",
                                                 "@HOST@/pkg/images_5.9.24.tgz",  "@HOST@/pkg/miui_5.9.24.zip"};

std::vector<PageCase> PageCases() {
  return {
      {"Cp936Page", "standard.html", Served::Ansi, kGbkMeta, 200, kStandardLabels, kStandardCaptions, kStandardLinks,
       kNoneDisabled},
      // The fetcher converts a page that says it is UTF-8 ...
      {"Utf8PageDeclared", "standard.html", Served::Utf8, kUtf8Meta, 200, kStandardLabels, kStandardCaptions,
       kStandardLinks, kNoneDisabled},
      // ... the reader one that lacks the marker in code page 936.
      {"Utf8PageUndeclared", "standard.html", Served::Utf8, "", 200, kStandardLabels, kStandardCaptions, kStandardLinks,
       kNoneDisabled},
      {"MissingPackagesAndTheTenByteRule",
       "partial.html",
       Served::Ansi,
       "",
       200,
       {"Fastbootonly", "Recoveryonly", "Ninebytes", "Tenbytes", "Neither"},
       {"线刷包大小：1.2GB", kNotFound, kNotFound, "卡刷包大小：600MB", kNotFound, "卡刷包大小：300MB",
        "线刷包大小：620MB", "卡刷包大小：301MB", kNotFound, kNotFound},
       {"@HOST@/pkg/p1_images.tgz", kBlank, kBlank, "@HOST@/pkg/p2.zip", kBlank, "@HOST@/pkg/p3.zip",
        "@HOST@/pkg/p4_images.tgz", "@HOST@/pkg/p4.zip", kBlank, kBlank},
       {false, true, true, false, true, false, false, false, true, true}},
      {"SecondTryLinks",
       "second_try.html",
       Served::Ansi,
       "",
       200,
       {"Paragraph", "Nonbsp", "Capitals", "Nolinks", "Recoveryindiv"},
       {"线刷包大小：1.2GB", "卡刷包大小：620MB", "线刷包大小：1.2GB", "卡刷包大小：620MB", "线刷包大小：1.2GB",
        "卡刷包大小：620MB", "线刷包大小：1.2GB", "卡刷包大小：620MB", kNotFound, "卡刷包大小：610MB"},
       // The recovery link of the second entry falls back to the fastboot
       // link; a package with a size but no link ends up disabled.
       {"@HOST@/pkg/s1_images.tgz", "@HOST@/pkg/s1.zip", "@HOST@/pkg/s2_images.tgz", "@HOST@/pkg/s2_images.tgz",
        "@HOST@/pkg/s3_images.tgz", "@HOST@/pkg/s3.zip", kBlank, kBlank, kBlank, "@HOST@/pkg/s5.zip"},
       {false, false, false, false, false, false, true, true, true, false}},
      {"EntriesWithoutSpanEnd", "no_span.html", Served::Ansi, "", 200, kNoLabels, kNothingFound, kNoLinks,
       kAllDisabled},
      {"ErrorPage", "error.html", Served::Ansi, "", 404, kNoLabels, kNothingFound, kNoLinks, kAllDisabled},
      {"EmptyAnswer", "", Served::Ansi, "", 200, kNoLabels, kNothingFound, kNoLinks, kAllDisabled},
  };
}

class ListPageReaderPages : public ::testing::TestWithParam<PageCase> {};

TEST_P(ListPageReaderPages, ShowsWhatThePageHolds) {
  const PageCase& c = GetParam();
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.ServeDefault({c.fixture.empty() ? "" : ListPageFixture(c.fixture, c.served, host, c.meta), c.status});

  h.Select(1);

  std::vector<std::string> links;
  for (const std::string& link : c.links) links.push_back(ReplaceAll(link, "@HOST@", host));
  EXPECT_EQ(h.site.Paths(), std::vector<std::string>{"/list-169-1-18-21-1-1"});
  EXPECT_EQ(h.Labels(), AnsiAll(c.labels));
  EXPECT_EQ(h.ButtonCaptions(), AnsiAll(c.captions));
  EXPECT_EQ(h.Links(), links);
  EXPECT_EQ(h.DisabledButtons(), c.disabled);
}

INSTANTIATE_TEST_SUITE_P(Pages, ListPageReaderPages, ::testing::ValuesIn(PageCases()),
                         [](const auto& info) { return info.param.name; });

// The text of the n-th entry as the page has it: from its "<em>" to the first
// "</span>" after it.
std::string EntryOf(const std::string& page, int n) {
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) at = page.find("<em>", at + (i ? 1 : 0));
  return page.substr(at, page.find("</span>", at) - at);
}

TEST(ListPageReader, KeepsEachEntryInItsEditBoxAndTakesItOutOfThePage) {
  CatalogueHarness h;
  std::string page = ListPageFixture("standard.html", Served::Ansi, h.site.Url());
  h.site.ServeDefault({page});

  h.Select(2);

  for (int n = 1; n <= 5; ++n) {
    EXPECT_EQ(h.EditBox(n), EntryOf(page, n)) << n;
    EXPECT_EQ(h.state->ListPageHtml.find(EntryOf(page, n)), std::string::npos) << n;
  }
  // The sixth cut starts inside the sixth entry's "<em>", so what it keeps
  // matches nothing and the entry stays in the page.
  EXPECT_EQ(h.EditBox(6), "<em>" + EntryOf(page, 6).substr(3));
  EXPECT_NE(h.state->ListPageHtml.find(EntryOf(page, 6)), std::string::npos);
}

TEST(ListPageReader, TestButton12WalksOnDownThePageWithoutFetching) {
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.ServeDefault({ListPageFixture("seven_entries.html", Served::Ansi, host)});
  h.Select(1);
  std::vector<Text> linksAfterRead = h.Links();

  h.Click("按钮12");

  EXPECT_EQ(h.site.Paths().size(), 1u);
  // No blank removal and no disabling on this path.
  EXPECT_EQ(h.Labels(), AnsiAll({"Version 6 ", "Version 7 ", "", "", ""}));
  EXPECT_EQ(h.ButtonCaptions(),
            AnsiAll({"线刷包大小：1.6 GB     ", "卡刷包大小：606 MB", "线刷包大小：1.7 GB     ", "卡刷包大小：607 MB",
                     kNotFound, kNotFound, kNotFound, kNotFound, kNotFound, kNotFound}));
  std::vector<Text> links = linksAfterRead;
  links[0] = host + "/pkg/images_6.tgz";
  links[1] = host + "/pkg/miui_6.zip";
  links[2] = host + "/pkg/images_7.tgz";
  links[3] = host + "/pkg/miui_7.zip";
  EXPECT_EQ(h.Links(), links);
  EXPECT_EQ(h.DisabledButtons(), kNoneDisabled);

  // The page is used up: a further run finds nothing and touches no link.
  h.Click("按钮12");
  EXPECT_EQ(h.Labels(), AnsiAll(kNoLabels));
  EXPECT_EQ(h.ButtonCaptions(), AnsiAll(kNothingFound));
  EXPECT_EQ(h.Links(), links);
  EXPECT_EQ(h.site.Paths().size(), 1u);
}

TEST(ListPageReader, SixthCutAtAStrayEmTakesEveryEntryStartLeft) {
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.ServeDefault({ListPageFixture("sixth_cut.html", Served::Ansi, host)});
  h.Select(1);
  std::vector<Text> linksAfterRead = h.Links();

  // "system</span>" gives an empty cut, so the sixth entry text is "<em>"
  // alone and every "<em>" leaves the page.
  EXPECT_EQ(h.EditBox(6), "<em>");
  EXPECT_EQ(h.state->ListPageHtml.find("<em>"), std::string::npos);
  EXPECT_NE(h.state->ListPageHtml.find("Version 6"), std::string::npos);

  h.Click("按钮12");
  EXPECT_EQ(h.Labels(), AnsiAll(kNoLabels));
  EXPECT_EQ(h.ButtonCaptions(), AnsiAll(kNothingFound));
  EXPECT_EQ(h.Links(), linksAfterRead);
}

TEST(ListPageReader, AnEntryWithoutSpanEndLeavesOnlyEmInTheEditBoxes) {
  CatalogueHarness h;
  h.site.ServeDefault({ListPageFixture("no_span.html", Served::Ansi, h.site.Url())});
  h.Select(1);
  for (int n = 1; n <= 6; ++n) EXPECT_EQ(h.EditBox(n), "<em>") << n;
  EXPECT_EQ(h.state->ListPageHtml.find("<em>"), std::string::npos);
  EXPECT_NE(h.state->ListPageHtml.find("</em>"), std::string::npos);
}

TEST(ListPageReader, RemovesBlanksFromEverySixteenCaptionsButKeepsOtherSpaces) {
  CatalogueHarness h;
  h.site.ServeDefault({ListPageFixture("standard.html", Served::Ansi, h.site.Url())});
  EXPECT_EQ(h.Caption("按钮1"), Ansi("小米Note 双网通"));
  h.Select(1);
  EXPECT_EQ(h.Caption("按钮1"), Ansi("小米Note双网通"));
  // A full-width space and "&nbsp;" are not blanks.
  EXPECT_EQ(h.Caption("标签2"), Ansi("MIUI7　5.10.22开发版"));
  EXPECT_EQ(h.Caption("按钮4"), Ansi("线刷包大小：1.2&nbsp;GB"));
  // The test buttons outside the reader's list keep theirs.
  EXPECT_EQ(h.Caption("按钮100"), Ansi("小米Note顶配版-开发版"));
}

TEST(ListPageReader, CanBeCalledFromAnyThread) {
  CatalogueHarness h;
  h.site.ServeDefault({ListPageFixture("standard.html", Served::Ansi, h.site.Url())});
  h.state->ListPageUrl = h.site.Url("/list-169-1-7-6-1-2");
  std::thread worker([&] { ReadListPage(h.ctx); });
  worker.join();
  EXPECT_EQ(h.Labels(), AnsiAll(kStandardLabels));
  std::thread cutter([&] { CutEntries(h.ctx); });
  cutter.join();
  EXPECT_EQ(h.Caption("标签1"), Ansi("MIUI 6 5.9.17 开发版 "));
}

}  // namespace
}  // namespace kestrune::test
