// SPDX-License-Identifier: MIT
// The background chain, started by 时钟1 of the whole program, against a
// net-disk service that misbehaves on purpose at one step: the window stays
// usable throughout, nothing unsafe is loaded, and the end of the program
// ends every task.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "hardening_support.h"
#include "hostile_pages.h"
#include "hostile_server.h"
#include "net_disk.h"

namespace kestrune::test {
namespace {

using std::chrono::steady_clock;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Truly;

// The first `times` requests get the hostile script, the rest the normal one.
HostileScript First(int times, HostileScript hostile, HostileScript normal) {
  auto seen = std::make_shared<std::atomic<int>>(0);
  return [=](HostileConnection& c) {
    if (seen->fetch_add(1) < times)
      hostile(c);
    else
      normal(c);
  };
}

Text NormalConfig(const HostileServer& s, const std::string& latest = kLocalVersion) {
  return ConfigPage(ConfigEntry(latest + "|Folder|kestrune|Notes: 1. 2. 3.|否"), s.Url(kListing));
}

// How the chain ends against the hostile step.
enum class ChainEnd {
  KeepsAsking,      // the configuration page is asked for again and again, and nothing more
  StaysInTheRead,   // the first read never ends while bytes keep coming
  Silently,         // no message, no status text
  UpToDate,         // "当前是最新版本！"
  NewVersionTaken,  // the question answered Yes, and 按钮1's page read
  EitherWay,        // ends, saying what it found or nothing
};

struct ChainCase {
  const char* name;
  std::function<void(HostileServer&)> hostile;
  ChainEnd end;
  std::string latest = kLocalVersion;
};
void PrintTo(const ChainCase& c, std::ostream* os) { *os << c.name; }

HostileScript TrickleForever() {
  return [](HostileConnection& c) {
    if (!c.Send(kPlainHead + "\r\n")) return;
    while (c.Pause(std::chrono::milliseconds(200)) && c.Send("x")) {
    }
  };
}

std::vector<ChainCase> ChainCases() {
  const auto hold = HostileScript([](HostileConnection& c) { c.Hold(); });
  return {
      {"ConfigNeverAnswers", [hold](HostileServer& s) { s.Route(kConfig, hold); }, ChainEnd::KeepsAsking},
      {"ConfigTricklesForever", [](HostileServer& s) { s.Route(kConfig, TrickleForever()); }, ChainEnd::StaysInTheRead},
      {"ConfigMovedPermanentlyToItself",
       [](HostileServer& s) { s.Route(kConfig, RedirectToItself(s, "301 Moved Permanently")); }, ChainEnd::Silently},
      {"ConfigFoundToItself", [](HostileServer& s) { s.Route(kConfig, RedirectToItself(s, "302 Found")); },
       ChainEnd::Silently},
      {"ConfigMovedToALocalFile",
       [](HostileServer& s) { s.Route(kConfig, RedirectToLocalFile("301 Moved Permanently")); }, ChainEnd::Silently},
      {"ConfigAfterAMegabyteOfHeaders",
       [](HostileServer& s) {
         s.Route(kConfig, [page = NormalConfig(s)](HostileConnection& c) {
           std::string head = "HTTP/1.1 200 OK\r\n";
           for (int i = 0; head.size() < (1u << 20) + 4096; ++i)
             head += "X-Filler-" + std::to_string(i) + ": " + std::string(1000, 'a') + "\r\n";
           c.Send(head + "Content-Length: " + std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
         });
       },
       ChainEnd::KeepsAsking},
      {"ConfigOverTheCapOnceThenWhole",
       [](HostileServer& s) {
         s.Route(kConfig, First(
                              1,
                              [](HostileConnection& c) {
                                if (c.Send(kPlainHead + "\r\n")) SendFiller(c, 65u << 20);
                              },
                              Answer(NormalConfig(s))));
       },
       ChainEnd::UpToDate},
      {"ConfigCutOffAfterTheEntry",
       [](HostileServer& s) {
         s.Route(kConfig, [page = NormalConfig(s)](HostileConnection& c) {
           c.Send(kPlainHead + "Content-Length: 100000\r\n\r\n" + page);
         });
       },
       ChainEnd::UpToDate},
      {"ConfigNulBeforeTheEntry",
       [](HostileServer& s) { s.Route(kConfig, Answer("<html>" + Text(1, '\0') + NormalConfig(s))); },
       ChainEnd::Silently},
      {"ConfigFieldsOfBrokenDoubleBytes",
       [](HostileServer& s) {
         s.Route(kConfig, Answer(ConfigPage(Ansi("配5【") + "\xFF\x80|\x81|key\xFE|a\x81 b c d|\xB0" + Ansi("】"),
                                            s.Url(kListing))));
       },
       ChainEnd::EitherWay},
      {"FolderTitleIsABacktrackingBomb",
       [](HostileServer& s) {
         // Stays under the per-position limits at each of 60 000 folder
         // titles: only the budget of the whole search stops it.
         s.Route(kConfig,
                 Answer(ConfigPage(ConfigEntry(std::string(kLocalVersion) + "|(.*)(.*)(.*)Z|kestrune|n a b c|否"),
                                   s.Url(kListing))));
         Text listing;
         for (int i = 0; i < 60000; ++i) listing += "<li><a href='#'>" + std::string(40, 'a') + "</a>";
         s.Route(kListing, ByMethod(Answer(listing + FolderListing()), Answer(FileList(s.Url("/d")))));
       },
       ChainEnd::UpToDate},
      {"ListingUnderAnotherScheme",
       [](HostileServer& s) {
         s.Route(kConfig, Answer(ConfigPage(ConfigEntry(std::string(kLocalVersion) + "|Folder|kestrune|n a b c|否"),
                                            "file:///etc/passwd")));
       },
       ChainEnd::Silently},
      {"ListingRedirectsToItself",
       [](HostileServer& s) { s.Route(kListing, RedirectToItself(s, "301 Moved Permanently")); }, ChainEnd::Silently},
      {"FileListNeverAnswers", [hold](HostileServer& s) { s.Route(kListing, ByMethod(Answer(FolderListing()), hold)); },
       ChainEnd::Silently},
      {"FileListOverTheCap",
       [](HostileServer& s) {
         s.Route(kListing, ByMethod(Answer(FolderListing()), [](HostileConnection& c) {
                   if (c.Send(kPlainHead + "\r\n")) SendFiller(c, 65u << 20);
                 }));
       },
       ChainEnd::Silently},
      {"UpdatePageRedirectsToItself",
       [](HostileServer& s) { s.Route(kUpdatePage, RedirectToItself(s, "301 Moved Permanently")); },
       ChainEnd::NewVersionTaken, "2.0"},
  };
}

class HostileBackground : public ::testing::TestWithParam<ChainCase> {
 protected:
  void SetUp() override {
    HostileServer& s = p_.server;
    s.Page(kConfig, NormalConfig(s, GetParam().latest));
    s.Route(kListing, ByMethod(Answer(FolderListing()), Answer(FileList(s.Url("/d")))));
    s.Page(kUpdatePage, NormalPage(s.Url()));
    s.Page(RowPath(kNormalRow), NormalPage(s.Url()));
    GetParam().hostile(s);
  }
  void TearDown() override { std::filesystem::remove(LocalListPagePath()); }

  Text Panel1() { return p_.toolkit->StatusText(kMain, "状态条1", 1); }

  ProgramOnMemory p_;
};

TEST_P(HostileBackground, WindowStaysUsableNothingUnsafeLoadsAndTheEndEndsIt) {
  const ChainCase& c = GetParam();
  ProgramOnMemory& p = p_;
  const std::string host = p.server.Url();
  const Text panelBefore = Panel1();

  // 时钟1 ticks three seconds after the window was created.
  p.toolkit->AdvanceTime(3000);

  // The window is the user's while the chain works: a pick reads its page
  // and a package goes to the browser.
  p.Pick(kNormalRow);
  ExpectNormalPage(p.Read(), host);
  const auto clickStart = steady_clock::now();
  p.toolkit->Click(kMain, "按钮3");
  EXPECT_LT(steady_clock::now() - clickStart, std::chrono::seconds(10)) << "the Matcher was held too long";
  const Text link = NormalEntry(host, 1).recoveryLink;

  switch (c.end) {
    case ChainEnd::KeepsAsking:
      EXPECT_TRUE(WaitUntil([&] { return p.server.RequestsFor(kConfig) >= 2; }, 20000));
      EXPECT_EQ(p.server.RequestsFor(kListing), 0u);
      break;
    case ChainEnd::StaysInTheRead:
      EXPECT_TRUE(WaitUntil([&] { return p.server.RequestsFor(kConfig) == 1; }, 10000));
      std::this_thread::sleep_for(std::chrono::seconds(2));  // several stall timeouts of the reader
      EXPECT_EQ(p.server.RequestsFor(kConfig), 1u);
      EXPECT_EQ(p.server.RequestsFor(kListing), 0u);
      break;
    default:
      ASSERT_TRUE(p.toolkit->WaitForThreads(60000)) << "the chain must end on its own";
      break;
  }
  switch (c.end) {
    case ChainEnd::Silently:
      EXPECT_THAT(p.toolkit->Messages(), IsEmpty());
      EXPECT_EQ(Panel1(), panelBefore);
      EXPECT_EQ(p.toolkit->GetInt(kMain, "时钟3", Property::TimerPeriod), 0);
      break;
    case ChainEnd::UpToDate:
      EXPECT_THAT(p.toolkit->Messages(), IsEmpty());
      EXPECT_EQ(Panel1(), Ansi("当前是最新版本！"));
      break;
    case ChainEnd::NewVersionTaken:
      EXPECT_EQ(p.toolkit->Messages().size(), 1u);
      EXPECT_EQ(Panel1(), Ansi("发现软件有新版本！！"));
      EXPECT_LE(p.server.RequestsFor(kUpdatePage), (20u + 1) * (10 + 1));
      ExpectOutcome(p.Read(), Outcome::Whatever, host);
      break;
    default:
      break;
  }

  // Only the package the user clicked was opened; browser controls got web
  // addresses only.
  EXPECT_THAT(p.toolkit->AskedToOpen(), ElementsAre(link));
  EXPECT_THAT(p.manager.Handed(), ElementsAre(link));
  EXPECT_THAT(p.toolkit->BrowserAddresses(), Each(Truly(IsSafeWebAddress)));
  for (const std::string& line : p.server.RequestLines())
    EXPECT_TRUE(line.rfind("GET /", 0) == 0 || line.rfind("POST /", 0) == 0) << line;

  // The end, asked for by a worker while a task may be in flight, runs the
  // clean-up once; no task touches the state afterwards.
  std::thread([&] { p.toolkit->ExitProgram(0); }).join();
  p.server.Stop();
  ASSERT_TRUE(p.toolkit->WaitForThreads(15000));
  EXPECT_EQ(p.toolkit->CleanupRuns(), 1);
  std::lock_guard<std::mutex> lock(p.ctx.state->backgroundLock);
  EXPECT_TRUE(p.ctx.state->RemoteText.empty());
  EXPECT_TRUE(p.ctx.state->ConfigFields.empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, HostileBackground, ::testing::ValuesIn(ChainCases()),
                         [](const ::testing::TestParamInfo<ChainCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::test
