// SPDX-License-Identifier: MIT
#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "hardening_support.h"
#include "hostile_server.h"

// The hostile answers to a list page read, as a table shared by the in-memory
// and the Qt tests. Each case ends on its own within a few seconds: the ones
// that would hold the reader for its full stall timeout are tested at the
// fetcher, with short limits.

namespace kestrune::test {

struct PageCase {
  const char* name;
  // Builds the script for the hostile path of this server.
  std::function<HostileScript(const HostileServer&)> script;
  Outcome outcome;
  // Requests the hostile path may see for one read (redirect loops).
  std::size_t maxRequests = 1;
};
inline void PrintTo(const PageCase& c, std::ostream* os) { *os << c.name; }

// A list page on the local disk that, were it ever read, would show an entry.
inline std::filesystem::path LocalListPagePath() {
  return std::filesystem::temp_directory_path() / ("kestrune-local-page-" + std::to_string(::getpid()));
}
inline std::filesystem::path LocalListPage() {
  const auto path = LocalListPagePath();
  if (!std::filesystem::exists(path)) {
    std::ofstream out(path, std::ios::binary);
    out << NormalPage("http://local.invalid");
  }
  return path;
}

inline const std::string kPlainHead = "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n";

inline HostileScript Answer(Text body, std::string headers = "Content-Type: text/html\r\n") {
  return [body = std::move(body), headers = std::move(headers)](HostileConnection& c) {
    c.Send(HttpAnswer("200 OK", body, headers));
  };
}

inline HostileScript RedirectToItself(const HostileServer& server, const std::string& status) {
  const std::string base = server.Url();
  return [base, status](HostileConnection& c) {
    c.Send(HttpAnswer(status, "moved", "Location: " + base + c.Path() + "\r\n"));
  };
}

inline HostileScript RedirectToLocalFile(const std::string& status) {
  return [status](HostileConnection& c) {
    c.Send(HttpAnswer(status, "moved", "Location: file://" + LocalListPage().string() + "\r\n"));
  };
}

// `filler` bytes after the page, in megabyte pieces, until the peer gives up.
inline void SendFiller(HostileConnection& c, std::size_t filler) {
  const std::string piece(1u << 20, 'x');
  for (std::size_t sent = 0; sent < filler; sent += piece.size())
    if (!c.Send(piece)) return;
}

inline std::vector<PageCase> HostilePageCases() {
  constexpr std::size_t kMiB = 1u << 20;
  return {
      {"ClosesWithoutAnswer", [](const HostileServer&) { return HostileScript([](HostileConnection&) {}); },
       Outcome::Nothing},
      {"ResetsTheConnection",
       [](const HostileServer&) { return HostileScript([](HostileConnection& c) { c.Reset(); }); }, Outcome::Nothing},
      {"GarbageInsteadOfHttp",
       [](const HostileServer& s) {
         static const char kGarbage[] = "\0\xff\xfe\x01 garbage\r\n\r\n";
         const std::string garbage(kGarbage, sizeof kGarbage - 1);
         return HostileScript([garbage, page = NormalPage(s.Url())](HostileConnection& c) { c.Send(garbage + page); });
       },
       Outcome::Nothing},
      {"ByteASecond",
       [](const HostileServer&) {
         return HostileScript([](HostileConnection& c) {
           if (!c.Send(kPlainHead + "\r\n")) return;
           for (char byte : std::string("<em")) {
             if (!c.Pause(std::chrono::seconds(1)) || !c.Send(std::string(1, byte))) return;
           }
         });
       },
       Outcome::Nothing},
      {"MovedPermanentlyToItself", [](const HostileServer& s) { return RedirectToItself(s, "301 Moved Permanently"); },
       Outcome::Nothing, (20 + 1) * (10 + 1)},
      {"FoundToItself", [](const HostileServer& s) { return RedirectToItself(s, "302 Found"); }, Outcome::Nothing,
       20 + 1},
      {"MovedPermanentlyToALocalFile",
       [](const HostileServer&) { return RedirectToLocalFile("301 Moved Permanently"); }, Outcome::Nothing},
      {"FoundToALocalFile", [](const HostileServer&) { return RedirectToLocalFile("302 Found"); }, Outcome::Nothing},
      {"MegabyteOfHeaders",
       [](const HostileServer& s) {
         return HostileScript([page = NormalPage(s.Url())](HostileConnection& c) {
           std::string head = "HTTP/1.1 200 OK\r\n";
           for (int i = 0; head.size() < kMiB + 4096; ++i)
             head += "X-Filler-" + std::to_string(i) + ": " + std::string(1000, 'a') + "\r\n";
           c.Send(head + "Content-Length: " + std::to_string(page.size()) + "\r\nConnection: close\r\n\r\n" + page);
         });
       },
       Outcome::Nothing},
      {"AnnouncesABodyOverTheCap",
       [](const HostileServer& s) {
         return HostileScript([page = NormalPage(s.Url())](HostileConnection& c) {
           const std::size_t length = 65 * kMiB;
           if (!c.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n" + page)) return;
           SendFiller(c, length - page.size());
         });
       },
       Outcome::Nothing},
      {"StreamsABodyOverTheCap",
       [](const HostileServer& s) {
         return HostileScript([page = NormalPage(s.Url())](HostileConnection& c) {
           if (!c.Send(kPlainHead + "\r\n" + page)) return;
           SendFiller(c, 65 * kMiB);
         });
       },
       Outcome::Nothing},
      {"BodyCutOffMidway",
       [](const HostileServer& s) {
         return HostileScript(
             [page = FirstEntryThen(s.Url(), Ansi("<li><em>MIUI 7 5.10.2 开发版 线刷包大小：1."))](
                 HostileConnection& c) { c.Send(kPlainHead + "Content-Length: 100000\r\n\r\n" + page); });
       },
       Outcome::FirstEntry},
      {"NulAfterTheFirstEntry",
       [](const HostileServer& s) {
         return Answer(FirstEntryThen(s.Url(), Text(1, '\0') + EntryHtml(NormalEntry(s.Url(), 2)) + PageTail()));
       },
       Outcome::FirstEntry},
      {"InvalidUtf8Undeclared",
       [](const HostileServer& s) {
         const Text broken = "<li><em>\xC0\xAF\xFF\xFE\xED\xA0\x80 \xF4\x90\x80\x80<div>\xE7\xBA";
         return Answer(AnsiToUtf8(FirstEntryThen(s.Url(), {})) + broken);
       },
       Outcome::FirstEntry},
      {"InvalidUtf8DeclaredInTheHeader",
       [](const HostileServer& s) {
         const Text broken = "<li><em>\xC0\xAF\xFF\xFE\xED\xA0\x80 \xF4\x90\x80\x80<div>\xE7\xBA";
         return Answer(AnsiToUtf8(FirstEntryThen(s.Url(), {})) + broken, "Content-Type: text/html; charset=utf-8\r\n");
       },
       Outcome::FirstEntry},
      {"BrokenDoubleByteText",
       [](const HostileServer& s) {
         return Answer(FirstEntryThen(s.Url(), "<li><em>\x81\xFF\x80 \xB0\x7F</em>\x81\x20<em>\xFE"));
       },
       Outcome::FirstEntry},
      {"SpanEndBeforeEveryEntryStart",
       [](const HostileServer& s) {
         return Answer(PageHead() + "</span></span>" +
                       Ansi("<li><em>V 线刷包大小：1.2 GB     卡刷包大小：620 MB</em><div><a href=\"") + s.Url() +
                       "/a/b/c/d/e.tgz\"><img alt=x>");
       },
       Outcome::Nothing},
      {"RecoveryBeforeFastboot",
       [](const HostileServer& s) {
         return Answer(PageHead() + Ansi("<li><em>卡刷包大小：620 MB</em> 线刷包大小：1.2 GB      卡<div><a href=\"") +
                       s.Url() + "/a/b/c/d/e.zip\"><img alt=x></span>" + PageTail());
       },
       Outcome::Whatever},
      {"LinkEndBeforeLinkStart",
       [](const HostileServer& s) {
         return Answer(PageHead() + Ansi("<li><em>V 线刷包大小：1.2 GB     卡刷包大小：620 MB</em>") +
                       "\"><img alt=<div><a href=\"" + s.Url() + "/a/b/c/d/e.tgz&nbsp;<a href=\"" + s.Url() +
                       "/a/b/c/d/e.zip</span>" + PageTail());
       },
       Outcome::Whatever},
      {"HundredThousandEmptyEntries",
       [](const HostileServer&) {
         Text page = PageHead();
         for (int i = 0; i < 100000; ++i) page += "<em></span>";
         return Answer(page + PageTail());
       },
       Outcome::Nothing},
      {"MegabyteVersionText",
       [](const HostileServer& s) {
         std::string version;
         for (int i = 0; i < 512 * 1024; ++i) version += "版";
         return Answer(PageHead() + EntryHtml({version, s.Url() + "/a/b/c/d/e.tgz", s.Url() + "/a/b/c/d/e.zip"}) +
                       PageTail());
       },
       Outcome::Whatever},
      {"EmptyBody", [](const HostileServer&) { return Answer({}); }, Outcome::Nothing},
  };
}

inline std::string CaseName(const ::testing::TestParamInfo<PageCase>& info) { return info.param.name; }

}  // namespace kestrune::test
