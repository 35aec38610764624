// SPDX-License-Identifier: MIT
#include "catalogue/catalogue.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "catalogue/catalogue_harness.h"
#include "web/codepage.h"

namespace kestrune::test {
namespace {

const std::vector<bool> kNoneDisabled(10, false);
const std::vector<bool> kAllDisabled(10, true);

struct PickCase {
  std::string name;
  int index;
  std::string path;
};

void PrintTo(const PickCase& c, std::ostream* os) { *os << c.name; }

class CatalogueSelection : public ::testing::TestWithParam<PickCase> {};

TEST_P(CatalogueSelection, ReadsTheRowsListPage) {
  CatalogueHarness h;
  h.Select(GetParam().index);
  EXPECT_EQ(h.site.Paths(), std::vector<std::string>{GetParam().path});
  EXPECT_EQ(h.state->ListPageUrl, h.site.Url(GetParam().path));
}

INSTANTIATE_TEST_SUITE_P(Rows, CatalogueSelection,
                         ::testing::Values(PickCase{"First", 1, "/list-169-1-18-21-1-1"},
                                           PickCase{"Last", 88, "/list-169-1-10-17-1-2"},
                                           PickCase{"InternationalStable39", 39, "/list-169-1-7-6-1-2"},
                                           PickCase{"InternationalStable40", 40, "/list-169-1-7-9-1-2"},
                                           PickCase{"TrailingBlankInItem", 7, "/list-169-1-15-14-1-1"}),
                         [](const auto& info) { return info.param.name; });

TEST(CatalogueSelectionHandler, PromptRowBeforeAnyModelReadsTheEmptyAddress) {
  CatalogueHarness h;
  h.Select(0);
  EXPECT_TRUE(h.site.Paths().empty());
  EXPECT_EQ(h.state->ListPageUrl, "");
  // The reader still ran: nothing found, every button disabled.
  EXPECT_EQ(h.DisabledButtons(), kAllDisabled);
  EXPECT_EQ(h.Links(), std::vector<Text>(10, "about:blank"));
  EXPECT_EQ(h.Caption("按钮2"), Ansi("官网未发现该ROM"));
  EXPECT_EQ(h.Caption("按钮1"), Ansi("小米Note双网通"));
}

// The prompt row and "nothing selected" keep the last model's page and read it
// again, from a fresh start.
TEST(CatalogueSelectionHandler, PromptRowOrNoSelectionAfterAModelReadsItsPageAgain) {
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.ServeInTurn("/list-169-1-5-7-1-1", {{ListPageFixture("partial.html", Served::Ansi, host)},
                                             {ListPageFixture("standard.html", Served::Ansi, host)},
                                             {ListPageFixture("partial.html", Served::Ansi, host)}});
  h.Select(49);
  EXPECT_TRUE(h.Disabled("按钮3"));

  h.Select(0);
  EXPECT_EQ(h.DisabledButtons(), kNoneDisabled);
  EXPECT_EQ(h.Caption("标签1"), Ansi("MIUI75.10.29开发版"));

  h.Select(-1);
  EXPECT_EQ(h.site.Paths(), std::vector<std::string>(3, "/list-169-1-5-7-1-1"));
  EXPECT_EQ(h.state->ListPageUrl, host + "/list-169-1-5-7-1-1");
  // The links of the page before are gone: the lacking packages have none.
  EXPECT_EQ(h.state->PackageLink(3), "about:blank");
  EXPECT_EQ(h.state->PackageLink(2), host + "/pkg/p1_images.tgz");
}

TEST(CatalogueSelectionHandler, SameModelTwiceResetsButtonsAndLinksEachTime) {
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.ServeInTurn("/list-169-1-18-21-1-1", {{ListPageFixture("standard.html", Served::Ansi, host)},
                                               {"", 500},
                                               {ListPageFixture("standard.html", Served::Ansi, host)}});
  h.Select(1);
  EXPECT_EQ(h.DisabledButtons(), kNoneDisabled);

  // A failed read leaves nothing of the earlier page's links.
  h.Select(1);
  EXPECT_EQ(h.DisabledButtons(), kAllDisabled);
  EXPECT_EQ(h.Links(), std::vector<Text>(10, "about:blank"));

  h.Select(1);
  EXPECT_EQ(h.DisabledButtons(), kNoneDisabled);
  EXPECT_EQ(h.state->PackageLink(2), host + "/pkg/images_5.10.29.tgz");
  EXPECT_EQ(h.site.Paths().size(), 3u);
}

TEST(CatalogueTestButtons, ReadTheirFixedPages) {
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.Serve("/list-169-1-18-21-1-2", {ListPageFixture("standard.html", Served::Ansi, host)});
  h.site.Serve("/list-169-1-15-14-1-1", {ListPageFixture("second_try.html", Served::Ansi, host)});

  h.Click("按钮1");
  EXPECT_EQ(h.state->ListPageUrl, host + "/list-169-1-18-21-1-2");
  EXPECT_EQ(h.Caption("标签1"), Ansi("MIUI75.10.29开发版"));

  h.Click("按钮100");
  EXPECT_EQ(h.state->ListPageUrl, host + "/list-169-1-15-14-1-1");
  EXPECT_EQ(h.Caption("标签1"), Ansi("Paragraph"));
  EXPECT_EQ(h.site.Paths(), (std::vector<std::string>{"/list-169-1-18-21-1-2", "/list-169-1-15-14-1-1"}));
}

// A test-button read neither empties links nor enables buttons: a link from an
// earlier read stays where the new page lacks the package, and a button stays
// disabled until the next model is picked.
TEST(CatalogueTestButtons, KeepEarlierLinksAndDisabledButtons) {
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.Serve("/list-169-1-18-21-1-1", {ListPageFixture("standard.html", Served::Ansi, host)});
  h.site.Serve("/list-169-1-18-21-1-2", {ListPageFixture("partial.html", Served::Ansi, host)});
  h.site.Serve("/list-169-1-15-14-1-1", {ListPageFixture("standard.html", Served::Ansi, host)});

  h.Select(1);
  h.Click("按钮1");
  EXPECT_EQ(h.Caption("按钮3"), Ansi("官网未发现该ROM"));
  EXPECT_EQ(h.state->PackageLink(3), host + "/pkg/miui_5.10.29.zip");
  EXPECT_EQ(h.state->PackageLink(2), host + "/pkg/p1_images.tgz");
  EXPECT_EQ(h.DisabledButtons(), kNoneDisabled);

  h.Select(2);  // the partial page again, from a fresh start
  EXPECT_TRUE(h.Disabled("按钮3"));
  h.Click("按钮100");
  EXPECT_EQ(h.state->PackageLink(3), host + "/pkg/miui_5.10.29.zip");
  EXPECT_TRUE(h.Disabled("按钮3"));

  h.Select(1);
  EXPECT_EQ(h.DisabledButtons(), kNoneDisabled);
}

TEST(CatalogueTestButtons, Button100TwiceGivesTheSameResult) {
  CatalogueHarness h;
  std::string host = h.site.Url();
  h.site.Serve("/list-169-1-15-14-1-1", {ListPageFixture("partial.html", Served::Ansi, host)});
  h.Click("按钮100");
  auto labels = h.Labels();
  auto captions = h.ButtonCaptions();
  auto links = h.Links();
  auto disabled = h.DisabledButtons();
  h.Click("按钮100");
  EXPECT_EQ(h.Labels(), labels);
  EXPECT_EQ(h.ButtonCaptions(), captions);
  EXPECT_EQ(h.Links(), links);
  EXPECT_EQ(h.DisabledButtons(), disabled);
  EXPECT_EQ(h.site.Paths().size(), 2u);
}

// The update check asks for 按钮1's read from its worker while the user may
// be picking a model: the two runs must follow each other, never interleave.
TEST(CatalogueThreads, WorkerReadNeverOverlapsAWindowThreadRead) {
  for (bool viaWindowThread : {false, true}) {
    CatalogueHarness h;
    std::string host = h.site.Url();
    std::string slow = ListPageFixture("standard.html", Served::Ansi, host);
    std::string other = ReplaceAll(ListPageFixture("seven_entries.html", Served::Ansi, host), "Version", "V");
    h.site.Serve("/list-169-1-18-21-1-2", {slow, 200, 300});
    h.site.Serve("/list-169-1-7-6-1-2", {other, 200, 300});

    std::thread worker([&] {
      if (viaWindowThread)
        h.toolkit->RunOnWindowThread([&] { ClickTestButton1(h.ctx); });
      else
        ClickTestButton1(h.ctx);
    });
    // Pick a model while the worker's page is still on its way.
    ASSERT_TRUE(WaitUntil([&] { return h.site.Started() == 1; }));
    h.Select(39);
    worker.join();

    EXPECT_EQ(h.site.Paths().size(), 2u);
    EXPECT_EQ(h.site.MaxInFlight(), 1);
    // Whichever ran last left its complete result.
    std::vector<Text> labels = h.Labels();
    if (labels[0] == Ansi("MIUI75.10.29开发版")) {
      EXPECT_EQ(h.state->ListPageUrl, host + "/list-169-1-18-21-1-2");
      EXPECT_EQ(h.state->PackageLink(11), host + "/pkg/miui_5.9.24.zip");
    } else {
      EXPECT_EQ(labels, AnsiAll({"V1", "V2", "V3", "V4", "V5"}));
      EXPECT_EQ(h.state->ListPageUrl, host + "/list-169-1-7-6-1-2");
      EXPECT_EQ(h.state->PackageLink(11), host + "/pkg/miui_5.zip");
    }
    EXPECT_EQ(h.DisabledButtons(), kNoneDisabled);
  }
}

TEST(CatalogueThreads, HandlersOutliveNoToolkit) {
  std::weak_ptr<MemoryToolkit> gone;
  {
    CatalogueHarness h;
    gone = h.toolkit;
  }
  EXPECT_TRUE(gone.expired());
}

}  // namespace
}  // namespace kestrune::test
