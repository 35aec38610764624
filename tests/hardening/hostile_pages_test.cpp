// SPDX-License-Identifier: MIT
// The list page reader, run by the real selection handler, against a server
// that misbehaves on purpose; the page fetcher's bounds with short limits; and
// package links that point anywhere but the web.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "hostile_pages.h"
#include "hostile_server.h"
#include "web/fetch.h"

namespace kestrune::test {
namespace {

using std::chrono::steady_clock;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Truly;

// ---- The list page reader against every hostile answer ----

class HostileListPage : public ::testing::TestWithParam<PageCase> {
 protected:
  void SetUp() override {
    program_.server.Page(RowPath(kNormalRow), NormalPage(program_.server.Url()));
    program_.server.Route(RowPath(kHostileRow), GetParam().script(program_.server));
  }
  void TearDown() override { std::filesystem::remove(LocalListPagePath()); }

  ProgramOnMemory program_;
};

TEST_P(HostileListPage, ReaderComesBackOpensNothingAndTheWindowGoesOn) {
  const PageCase& c = GetParam();
  ProgramOnMemory& p = program_;
  const std::string host = p.server.Url();

  const auto start = steady_clock::now();
  p.Pick(kHostileRow);
  EXPECT_LT(steady_clock::now() - start, kHangBound);

  ExpectOutcome(p.Read(), c.outcome, host);
  const std::size_t requests = p.server.RequestsFor(RowPath(kHostileRow));
  EXPECT_GE(requests, 1u);
  EXPECT_LE(requests, c.maxRequests) << "a redirect loop must end";
  for (const std::string& line : p.server.RequestLines()) EXPECT_THAT(line, ::testing::StartsWith("GET /"));
  EXPECT_THAT(p.toolkit->AskedToOpen(), IsEmpty());
  EXPECT_THAT(p.toolkit->BrowserAddresses(), IsEmpty());

  // Its timers still tick ...
  const int left = p.toolkit->GetInt(kMain, "公告栏", Property::Left);
  p.toolkit->AdvanceTime(100);
  EXPECT_NE(p.toolkit->GetInt(kMain, "公告栏", Property::Left), left);
  // ... the next pick gives the whole page ...
  p.Pick(kNormalRow);
  ExpectNormalPage(p.Read(), host);
  // ... and a package goes to the browser and the download manager.
  p.toolkit->Click(kMain, "按钮2");
  const Text link = NormalEntry(host, 1).fastbootLink;
  EXPECT_THAT(p.toolkit->AskedToOpen(), ElementsAre(link));
  EXPECT_THAT(p.manager.Handed(), ElementsAre(link));
}

INSTANTIATE_TEST_SUITE_P(Answers, HostileListPage, ::testing::ValuesIn(HostilePageCases()), CaseName);

// A page that never ends: a byte every 200 ms keeps every stall limit quiet,
// so only the bound on the whole read brings the window back.
TEST(HostileListPageWithoutEnd, ReadStopsAtItsWholeLimitAndTheWindowGoesOn) {
  ProgramOnMemory p(2000);
  const std::string host = p.server.Url();
  p.server.Page(RowPath(kNormalRow), NormalPage(host));
  p.server.Route(RowPath(kHostileRow), [](HostileConnection& c) {
    if (!c.Send(kPlainHead + "\r\n" + PageHead())) return;
    while (c.Pause(std::chrono::milliseconds(200)) && c.Send("x")) {
    }
  });

  const auto start = steady_clock::now();
  p.Pick(kHostileRow);
  EXPECT_LT(steady_clock::now() - start, kHangBound);
  ExpectOutcome(p.Read(), Outcome::Nothing, host);

  p.Pick(kNormalRow);
  ExpectNormalPage(p.Read(), host);
}

// ---- Package links that are not web links ----

TEST(HostilePackageLinks, OnlyWebLinksReachTheBrowserOrTheDownloadManager) {
  ProgramOnMemory p;
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
  const Shown shown = p.Read();
  ExpectConsistent(shown);
  for (int button : kButtons) p.toolkit->Click(kMain, ButtonName(button));

  // A web link with a line break in it may pass: the toolkit refuses to open
  // it, and the download manager sends the break percent-encoded.
  EXPECT_THAT(p.toolkit->AskedToOpen(), Each(Truly(StartsWithWebScheme)));
  EXPECT_THAT(p.manager.Handed(), Each(Truly(StartsWithWebScheme)));
  EXPECT_THAT(p.toolkit->BrowserAddresses(), IsEmpty());
  EXPECT_EQ(p.server.RequestCount(), 1u) << "nothing but the list page was fetched";
}

// ---- The page fetcher's own bounds, with short limits ----

struct FetchCase {
  const char* name;
  std::function<HostileScript(const HostileServer&)> script;
  FetchLimits limits;
  ::testing::Matcher<const std::string&> body;
  std::size_t maxRequests = 1;
  std::chrono::seconds bound{10};  // only a fetch that does not give up takes this long
};
void PrintTo(const FetchCase& c, std::ostream* os) { *os << c.name; }

FetchLimits Short() {
  FetchLimits limits;
  limits.connectTimeoutMs = 1000;
  limits.stallTimeoutMs = 300;
  return limits;
}

FetchLimits With(FetchLimits limits, void (*change)(FetchLimits&)) {
  change(limits);
  return limits;
}

std::vector<FetchCase> FetchCases() {
  const auto head = [](std::size_t length) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
  };
  return {
      {"NeverAnswers", [](const HostileServer&) { return HostileScript([](HostileConnection& c) { c.Hold(); }); },
       Short(), ""},
      {"HeadersThenSilence",
       [head](const HostileServer&) {
         return HostileScript([head](HostileConnection& c) {
           if (c.Send(head(100))) c.Hold();
         });
       },
       Short(), ""},
      {"StallsMidBody",
       [head](const HostileServer&) {
         return HostileScript([head](HostileConnection& c) {
           if (c.Send(head(100) + "0123456789")) c.Hold();
         });
       },
       Short(), "0123456789"},
      // A transfer that keeps moving is never cut off, however slow: there is
      // no limit on a whole transfer.
      {"TrickleOutlastsTheStallTimeout",
       [head](const HostileServer&) {
         return HostileScript([head](HostileConnection& c) {
           if (!c.Send(head(10))) return;
           for (char byte : std::string("0123456789"))
             if (!c.Pause(std::chrono::milliseconds(100)) || !c.Send(std::string(1, byte))) return;
         });
       },
       Short(), "0123456789"},
      {"HeaderBlockOverItsLimit",
       [](const HostileServer&) {
         return HostileScript([](HostileConnection& c) {
           c.Send("HTTP/1.1 200 OK\r\nX-Filler: " + std::string(128 * 1024, 'a') + "\r\nContent-Length: 4\r\n\r\nbody");
         });
       },
       With(Short(), [](FetchLimits& l) { l.maxHeaderBytes = 64 * 1024; }), ""},
      {"StreamedBodyOverItsLimit",
       [](const HostileServer&) {
         return HostileScript([](HostileConnection& c) {
           if (c.Send("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n")) SendFiller(c, 2u << 20);
         });
       },
       With(Short(), [](FetchLimits& l) { l.maxBodyBytes = 1u << 20; }), ""},
      {"MovedFollowUpsStop", [](const HostileServer& s) { return RedirectToItself(s, "301 Moved Permanently"); },
       With(Short(),
            [](FetchLimits& l) {
              l.maxMovedFollowUps = 2;
              l.maxAutomaticRedirects = 3;
            }),
       "", (3 + 1) * (2 + 1)},
      // With a bound on the whole call, a trickle ends there, with what came.
      {"TrickleIsCutAtTheWholeFetchLimit",
       [head](const HostileServer&) {
         return HostileScript([head](HostileConnection& c) {
           if (!c.Send(head(1u << 20) + "0123456789")) return;
           for (int i = 0; i < 200 && c.Pause(std::chrono::milliseconds(50)) && c.Send("x"); ++i) {
           }
         });
       },
       With(Short(), [](FetchLimits& l) { l.wholeFetchTimeoutMs = 1000; }), ::testing::StartsWith("0123456789"), 1,
       std::chrono::seconds(5)},
      // The bound covers the follow-ups of "301" answers as well: slow ones
      // do not each get a fresh allowance.
      {"SlowMovedFollowUpsShareTheWholeFetchLimit",
       [](const HostileServer& s) {
         return HostileScript([moved = RedirectToItself(s, "301 Moved Permanently")](HostileConnection& c) {
           if (c.Pause(std::chrono::milliseconds(500))) moved(c);
         });
       },
       With(Short(),
            [](FetchLimits& l) {
              l.stallTimeoutMs = 5000;
              l.wholeFetchTimeoutMs = 1000;
              l.maxMovedFollowUps = 2;
              l.maxAutomaticRedirects = 3;
            }),
       "", 4, std::chrono::seconds(5)},
  };
}

class FetcherBounds : public ::testing::TestWithParam<FetchCase> {};

TEST_P(FetcherBounds, GiveUpInTimeWithWhatArrived) {
  const FetchCase& c = GetParam();
  HostileServer server;
  server.Route("/x", c.script(server));
  const auto start = steady_clock::now();
  const Bytes body = FetchPage(server.Url("/x"), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr,
                               nullptr, c.limits);
  EXPECT_LT(steady_clock::now() - start, c.bound);
  EXPECT_THAT(body, c.body);
  EXPECT_LE(server.RequestCount(), c.maxRequests);
}

INSTANTIATE_TEST_SUITE_P(Answers, FetcherBounds, ::testing::ValuesIn(FetchCases()),
                         [](const ::testing::TestParamInfo<FetchCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune::test
