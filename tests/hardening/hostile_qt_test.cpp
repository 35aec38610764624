// SPDX-License-Identifier: MIT
// The real main window, offscreen, against a server that misbehaves on
// purpose: every hostile list page through the real widgets, package links
// that are not web links, and the whole program through RunProgram.
#include <QAbstractButton>
#include <QTimer>
#include <QWidget>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/qt/qt_toolkit.h"
#include "app/startup/program.h"
#include "hardening_support.h"
#include "hostile_pages.h"
#include "qt_support.h"

namespace kestrune::test {
namespace {

using std::chrono::steady_clock;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Truly;

class HostileListPageOnQt : public ::testing::TestWithParam<PageCase> {
 protected:
  void SetUp() override {
    program_.server.Page(RowPath(kNormalRow), NormalPage(program_.server.Url()));
    program_.server.Route(RowPath(kHostileRow), GetParam().script(program_.server));
  }
  void TearDown() override { std::filesystem::remove(LocalListPagePath()); }

  ProgramOnQt program_;
};

TEST_P(HostileListPageOnQt, ReaderComesBackOpensNothingAndTheWindowGoesOn) {
  const PageCase& c = GetParam();
  ProgramOnQt& p = program_;
  const std::string host = p.server.Url();

  const auto start = steady_clock::now();
  p.Pick(kHostileRow);
  EXPECT_LT(steady_clock::now() - start, kHangBound);
  ExpectOutcome(p.Read(), c.outcome, host);
  EXPECT_LE(p.server.RequestsFor(RowPath(kHostileRow)), c.maxRequests);
  EXPECT_EQ(p.toolkit->Browser(kMain, "超文本浏览框1").status, QtToolkit::BrowserStatus::Idle);
  EXPECT_EQ(p.toolkit->Browser(kMain, "超文本浏览框2").status, QtToolkit::BrowserStatus::Idle);

  // The event loop runs on: the scrolling notice moves ...
  const int left = p.toolkit->GetInt(kMain, "公告栏", Property::Left);
  EXPECT_TRUE(PumpUntil([&] { return p.toolkit->GetInt(kMain, "公告栏", Property::Left) != left; }, 5000));
  // ... the next pick gives the whole page, and a package goes out.
  p.Pick(kNormalRow);
  ExpectNormalPage(p.Read(), host);
  ClickPackage(*p.toolkit, 2);
  const Text link = NormalEntry(host, 1).fastbootLink;
  EXPECT_TRUE(PumpUntil([&] { return !p.opened.Get().empty(); }, 5000));
  EXPECT_THAT(p.opened.Get(), ElementsAre(link));
  EXPECT_THAT(p.manager.Handed(), ElementsAre(link));
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileListPageOnQt, ::testing::ValuesIn(HostilePageCases()), CaseName);

TEST(HostilePackageLinksOnQt, NothingButAPlainWebLinkIsOpened) {
  ProgramOnQt p;
  const std::string h = p.server.Url();
  const std::vector<Entry> entries = {
      {"V1", "file:///etc/passwd/http/a/b/c/d/e.tgz", "FILE:///etc/http/a/b/c/d/e.zip"},
      {"V2", "javascript:alert('http://a/b/c/d/e.tgz')", "vbscript:msgbox(\"http://a/b/c/d/e.zip\")"},
      {"V3", "data:text/html,<script>http://a/b/c/d/e.tgz", "about:blank#http://a/b/c/d/e.zip"},
      {"V4", " " + h + "/a/b/c/d/e.tgz", "\\\\server\\share\\http://a/b/c/d/e.zip"},
      {"V5", h + "/a/b/c/d/e.tgz\r\nX-Injected: 1", "ftp://127.0.0.1/http://a/b/c/d/e.zip"},
  };
  Text page = PageHead();
  for (const Entry& e : entries) page += EntryHtml(e);
  p.server.Page(RowPath(kHostileRow), page + PageTail());

  p.Pick(kHostileRow);
  ExpectConsistent(p.Read());
  for (int button : kButtons) ClickPackage(*p.toolkit, button);
  QTest::qWait(50);  // queued opens, if any, have arrived by now

  EXPECT_THAT(p.opened.Get(), IsEmpty());
  EXPECT_THAT(p.manager.Handed(), Each(Truly(StartsWithWebScheme)));
  EXPECT_EQ(p.server.RequestCount(), 1u) << "nothing but the list page was fetched";
}

// ---- The update file the browser control fetches ----

TEST(HostileUpdateFileOnQt, ANameFromTheServerCannotLeaveTheDownloadFolder) {
  ProgramOnQt p;
  HostileServer& s = p.server;
  s.Page("/config", ConfigPage(ConfigEntry("2.0|Folder|kestrune|Notes: 1. 2. 3.|否"), s.Url("/listing")));
  s.Route("/listing", [files = FileList(s.Url("/d")), folders = FolderListing()](HostileConnection& c) {
    c.Send(HttpAnswer("200 OK", c.RequestLine().rfind("POST ", 0) == 0 ? files : folders));
  });
  s.Page("/list", NormalPage(s.Url()));
  const std::filesystem::path outside = std::filesystem::temp_directory_path() / "kestrune-escape.sh";
  s.Route("/d/", Answer("payload",
                        "Content-Type: application/octet-stream\r\n"
                        "Content-Disposition: attachment; filename=\"../../../../../" +
                            outside.relative_path().string() + "\x01\"\r\n"));
  p.toolkit->SetNextMessageAnswer(MessageAnswer::Yes);  // take the new version
  p.toolkit->SetNextMessageAnswer(MessageAnswer::Yes);  // save the file it offers
  p.toolkit->FireEvent(kMain, "时钟1", Event::Tick);

  ASSERT_TRUE(PumpUntil(
      [&] { return p.toolkit->Browser(kMain, "超文本浏览框1").status == QtToolkit::BrowserStatus::Saved; }, 20000));
  const std::filesystem::path saved = p.toolkit->Browser(kMain, "超文本浏览框1").savedPath;
  EXPECT_EQ(saved.parent_path(), std::filesystem::path(p.manager.Config().downloadFolder)) << saved;
  for (unsigned char ch : saved.filename().string()) EXPECT_GE(ch, 0x20);
  EXPECT_FALSE(std::filesystem::exists(outside));
  EXPECT_EQ(p.toolkit->Messages().size(), 2u);
}

// ---- The whole program ----

// What the main window shows, read by a worker through the toolkit.
std::vector<Text> ButtonCaptions(Toolkit& tk) {
  std::vector<Text> captions;
  for (int button : kButtons) captions.push_back(tk.GetText(kMain, ButtonName(button), Property::Caption));
  return captions;
}

TEST(HostileProgramOnQt, RunProgramSurvivesHostilePagesAndEndsWithTheWorkersCode) {
  HostileServer server;
  const std::string host = server.Url();
  server.Route(RowPath(kHostileRow), RedirectToItself(server, "301 Moved Permanently"));
  server.Page(RowPath(kNormalRow), NormalPage(host));
  server.Route("/config", RedirectToItself(server, "302 Found"));
  OpenedAddresses opened;

  Endpoints endpoints;
  endpoints.catalogueBaseUrl = host;
  endpoints.configPageUrl = server.Url("/config");
  endpoints.netDiskLinkPrefix = server.Url("/d");
  endpoints.promoPageUrl = server.Url("/promo");
  endpoints.aria2RpcPort = DeadPort();
  endpoints.startDownloadManager = false;
  endpoints.downloadDir = std::filesystem::temp_directory_path().string();

  auto toolkit = QtToolkit::Create();
  toolkit->SetUrlOpener(opened.Opener());
  // No download manager answers: its button says so once.
  toolkit->SetNextMessageAnswer(MessageAnswer::Ok);
  std::vector<Text> hostileCaptions, normalCaptions;
  std::atomic<bool> driven{false};
  // The user, on a worker: picks through the window thread, reads what is
  // shown, uses a package, then a worker ends the program.
  std::thread user([&] {
    while (!toolkit->IsOpen(kMain) && !toolkit->Ending()) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    toolkit->RunOnWindowThread([&] { PickModel(*toolkit, kHostileRow); });
    hostileCaptions = ButtonCaptions(*toolkit);
    toolkit->RunOnWindowThread([&] { PickModel(*toolkit, kNormalRow); });
    normalCaptions = ButtonCaptions(*toolkit);
    toolkit->RunOnWindowThread([&] { ClickPackage(*toolkit, 3); });
    driven = true;
    toolkit->ExitProgram(4);
  });
  const int code = RunProgram(toolkit, endpoints);
  user.join();

  EXPECT_TRUE(driven);
  EXPECT_EQ(code, 4);
  EXPECT_EQ(toolkit->CleanupRuns(), 1);
  EXPECT_THAT(hostileCaptions, Each(Ansi("官网未发现该ROM")));
  EXPECT_EQ(normalCaptions.at(0), Ansi("线刷包大小：1.2GB"));
  EXPECT_EQ(normalCaptions.at(1), Ansi("卡刷包大小：620MB"));
  EXPECT_TRUE(PumpUntil([&] { return !opened.Get().empty(); }, 5000));
  EXPECT_THAT(opened.Get(), ElementsAre(NormalEntry(host, 1).recoveryLink));
  server.Stop();
  EXPECT_TRUE(PumpUntil([&] { return toolkit->RunningThreads() == 0; }, 15000));
}

}  // namespace
}  // namespace kestrune::test
