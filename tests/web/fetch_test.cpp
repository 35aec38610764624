// SPDX-License-Identifier: MIT
#include "web/fetch.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/loopback_server.h"

namespace kestrune {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const std::string kDefaultAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; QZ7WX; .NET CLR 2.0.50727; .NET CLR 3.0.04506.648; "
    ".NET CLR 3.5.21022)";
const std::string kDefaultTail =
    "\r\nAccept: */*\r\nAccept-Language: zh-cn\r\nContent-Type: application/x-www-form-urlencoded";

// A request as it arrived on the wire.
struct RawRequest {
  std::string method;
  std::string target;
  std::string version;
  std::vector<std::string> headerLines;  // in order, without line ends
  std::string body;

  int CountHeaders(std::string_view prefix) const {
    int n = 0;
    for (const auto& line : headerLines) n += line.starts_with(prefix) ? 1 : 0;
    return n;
  }
};

struct Reply {
  std::string raw;     // sent exactly as it stands
  bool close = false;  // close the connection after it (a body that ends with the connection)
  bool hang = false;   // never answer
};

// A loopback server that speaks raw HTTP/1.1: it records each request exactly
// as it arrived and sends back what the script returns, byte for byte, so the
// tests can see header order and answer with blocks no library would write.
class RawServer {
 public:
  using Script = std::function<Reply(const RawRequest&, int index)>;

  explicit RawServer(Script script) : script_(std::move(script)) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || listen(listener_, 64) != 0 ||
        getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      ADD_FAILURE() << "loopback listener";
    }
    port_ = ntohs(address.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~RawServer() {
    stopping_ = true;
    shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    close(listener_);
    std::vector<std::thread> workers;
    {
      std::lock_guard lock(mutex_);
      for (int fd : connections_) shutdown(fd, SHUT_RDWR);
      workers.swap(workers_);
    }
    for (auto& worker : workers) worker.join();
    for (int fd : connections_) close(fd);
  }

  RawServer(const RawServer&) = delete;
  RawServer& operator=(const RawServer&) = delete;

  int port() const { return port_; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }

  std::vector<RawRequest> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }
  int Connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(connections_.size());
  }

 private:
  void AcceptLoop() {
    while (!stopping_) {
      const int fd = accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      std::lock_guard lock(mutex_);
      connections_.push_back(fd);
      workers_.emplace_back([this, fd] { Serve(fd); });
    }
  }

  void Serve(int fd) {
    std::string pending;
    char chunk[16384];
    const auto receive = [&] {
      const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      pending.append(chunk, static_cast<std::size_t>(n));
      return true;
    };
    for (;;) {
      std::size_t headEnd;
      while ((headEnd = pending.find("\r\n\r\n")) == std::string::npos) {
        if (!receive()) return;
      }
      RawRequest request;
      std::string_view head(pending.data(), headEnd);
      const std::size_t firstEnd = head.find("\r\n");
      const std::string_view requestLine = head.substr(0, firstEnd);
      const std::size_t space1 = requestLine.find(' ');
      const std::size_t space2 = requestLine.rfind(' ');
      request.method = requestLine.substr(0, space1);
      request.target = requestLine.substr(space1 + 1, space2 - space1 - 1);
      request.version = requestLine.substr(space2 + 1);
      std::size_t contentLength = 0;
      if (firstEnd != std::string_view::npos) {
        std::string_view rest = head.substr(firstEnd + 2);
        while (!rest.empty()) {
          const std::size_t end = rest.find("\r\n");
          std::string line(rest.substr(0, end));
          if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) contentLength = std::stoul(line.substr(15));
          request.headerLines.push_back(std::move(line));
          rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 2);
        }
      }
      pending.erase(0, headEnd + 4);
      while (pending.size() < contentLength) {
        if (!receive()) return;
      }
      request.body = pending.substr(0, contentLength);
      pending.erase(0, contentLength);

      int index;
      {
        std::lock_guard lock(mutex_);
        index = static_cast<int>(requests_.size());
        requests_.push_back(request);
      }
      const Reply reply = script_(request, index);
      if (reply.hang) {
        while (receive()) {
        }
        return;
      }
      std::string_view out = reply.raw;
      while (!out.empty()) {
        const ssize_t n = send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        out.remove_prefix(static_cast<std::size_t>(n));
      }
      if (reply.close) {
        shutdown(fd, SHUT_WR);
        return;
      }
    }
  }

  Script script_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  mutable std::mutex mutex_;
  std::vector<int> connections_;
  std::vector<std::thread> workers_;
  std::vector<RawRequest> requests_;
};

// A loopback port that refuses connections: bound, so no one else takes it,
// but not listening.
class DeadPort {
 public:
  DeadPort() : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd_, reinterpret_cast<sockaddr*>(&address), length);
    getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~DeadPort() { close(fd_); }
  DeadPort(const DeadPort&) = delete;
  DeadPort& operator=(const DeadPort&) = delete;

  int port() const { return port_; }

 private:
  int fd_;
  int port_ = 0;
};

// "HTTP/1.1 <status>", the header lines, a Content-Length line, the body.
std::string HeadOf(const std::string& status, const std::vector<std::string>& headers, std::size_t bodySize) {
  std::string head = "HTTP/1.1 " + status + "\r\n";
  for (const auto& line : headers) head += line + "\r\n";
  return head + "Content-Length: " + std::to_string(bodySize) + "\r\n\r\n";
}

Reply Answer(const std::string& status, const std::vector<std::string>& headers, const std::string& body) {
  return {HeadOf(status, headers, body.size()) + body};
}

Reply Ok(const std::string& body) { return Answer("200 OK", {}, body); }

// The request's header lines after the Host line, which names the loopback
// port and is checked once where it matters.
std::vector<std::string> LinesAfterHost(const RawRequest& request) {
  if (request.headerLines.empty() || !request.headerLines.front().starts_with("Host: ")) {
    ADD_FAILURE() << "the request does not start with a Host line";
    return request.headerLines;
  }
  return {request.headerLines.begin() + 1, request.headerLines.end()};
}

std::vector<std::string> Targets(const std::vector<RawRequest>& requests) {
  std::vector<std::string> targets;
  for (const auto& request : requests) targets.push_back(request.target);
  return targets;
}

// --- The request --------------------------------------------------------------

TEST(FetchRequest, DefaultRequestCarriesTheDefaultLinesAndNothingElse) {
  RawServer server([](const RawRequest&, int) { return Ok(std::string("page\0tail", 9)); });
  const std::string address = server.Url("/list/page.html?x=1&y=%20");

  EXPECT_EQ(FetchPageText(address), "page");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].target, "/list/page.html?x=1&y=%20");
  EXPECT_EQ(requests[0].version, "HTTP/1.1");
  EXPECT_THAT(requests[0].headerLines,
              ElementsAre("Host: 127.0.0.1:" + std::to_string(server.port()), "User-Agent: " + kDefaultAgent,
                          "Referer: " + address, "Accept: */*", "Accept-Language: zh-cn",
                          "Content-Type: application/x-www-form-urlencoded"));
  EXPECT_THAT(requests[0].body, IsEmpty());
}

TEST(FetchRequest, AddressWithoutSchemeAndWithCapitalsIsFetchedOverHttp) {
  RawServer server([](const RawRequest&, int) { return Ok("plain"); });
  const std::string address = "127.0.0.1:" + std::to_string(server.port()) + "/Mixed/Case";

  EXPECT_EQ(FetchPageText(address), "plain");
  EXPECT_EQ(FetchPageText("HTTP://127.0.0.1:" + std::to_string(server.port()) + "/Mixed/Case"), "plain");

  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].target, "/Mixed/Case");
  EXPECT_EQ(LinesAfterHost(requests[0])[1], "Referer: " + address);
  EXPECT_EQ(requests[1].target, "/Mixed/Case");
}

struct HeaderCase {
  std::string name;
  std::string callerLines;
  // The lines expected on the wire after Host, and the caller's text after
  // the call; "@" stands for the address.
  std::vector<std::string> wire;
  std::string linesAfter;
};
void PrintTo(const HeaderCase& c, std::ostream* os) { *os << c.name; }

std::string WithAddress(std::string text, const std::string& address) {
  for (std::size_t at; (at = text.find('@')) != std::string::npos;) text.replace(at, 1, address);
  return text;
}

class FetchHeaderLines : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(FetchHeaderLines, CompletesTheCallersLinesAndSendsThemInOrder) {
  const HeaderCase& c = GetParam();
  RawServer server([](const RawRequest&, int) { return Ok("ok"); });
  const std::string address = server.Url("/h");
  Text lines = c.callerLines;

  EXPECT_EQ(FetchPage(address, 0, {}, nullptr, nullptr, &lines), "ok");

  EXPECT_EQ(lines, WithAddress(c.linesAfter, address));
  std::vector<std::string> wire;
  for (const auto& line : c.wire) wire.push_back(WithAddress(line, address));
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_THAT(LinesAfterHost(requests[0]), ElementsAreArray(wire));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FetchHeaderLines,
    ::testing::Values(HeaderCase{"CallerLineFirst",
                                 "X-One: 1",
                                 {"User-Agent: " + kDefaultAgent, "X-One: 1", "Referer: @", "Accept: */*",
                                  "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded"},
                                 "X-One: 1\r\nReferer: @" + kDefaultTail},
                      HeaderCase{"SmallLetterUserAgentSetsTheAgentAndStays",
                                 "user-agent: Tiny/1.0\r\nX-Two: 2",
                                 {"user-agent: Tiny/1.0", "X-Two: 2", "Referer: @", "Accept: */*",
                                  "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded"},
                                 "user-agent: Tiny/1.0\r\nX-Two: 2\r\nReferer: @" + kDefaultTail},
                      HeaderCase{"UserAgentLineWithoutLineEnd",
                                 "User-Agent: Solo/2.0",
                                 {"User-Agent: Solo/2.0", "Referer: @", "Accept: */*", "Accept-Language: zh-cn",
                                  "Content-Type: application/x-www-form-urlencoded"},
                                 "User-Agent: Solo/2.0\r\nReferer: @" + kDefaultTail},
                      // The agent test looks for "User-Agent:" anywhere, so this line names
                      // the agent, which goes out on a User-Agent line of its own.
                      HeaderCase{"AgentFoundInsideAnotherLine",
                                 "X-User-Agent: Hidden/3.0",
                                 {"User-Agent: Hidden/3.0", "X-User-Agent: Hidden/3.0", "Referer: @", "Accept: */*",
                                  "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded"},
                                 "X-User-Agent: Hidden/3.0\r\nReferer: @" + kDefaultTail},
                      // With a blank agent line last, the agent falls back to the value of
                      // the first line; it must not run on into the following lines.
                      HeaderCase{"AgentFallbackStopsAtTheLineEnd",
                                 "X-Probe: Probe/4.0\r\nX-User-Agent:",
                                 {"User-Agent: Probe/4.0", "X-Probe: Probe/4.0", "Referer: @", "Accept: */*",
                                  "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded"},
                                 "X-Probe: Probe/4.0\r\nX-User-Agent:\r\nReferer: @" + kDefaultTail},
                      HeaderCase{"SmallLetterAcceptStillGetsTheDefaultAccept",
                                 "accept: text/html",
                                 {"User-Agent: " + kDefaultAgent, "accept: text/html", "Referer: @", "Accept: */*",
                                  "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded"},
                                 "accept: text/html\r\nReferer: @" + kDefaultTail},
                      HeaderCase{
                          "CallersOwnLinesAreNotRepeated",
                          "Referer: http://elsewhere/\r\nAccept: text/plain\r\nAccept-Language: en\r\nContent-Type: "
                          "text/plain",
                          {"User-Agent: " + kDefaultAgent, "Referer: http://elsewhere/", "Accept: text/plain",
                           "Accept-Language: en", "Content-Type: text/plain"},
                          "Referer: http://elsewhere/\r\nAccept: text/plain\r\nAccept-Language: en\r\nContent-Type: "
                          "text/plain"},
                      HeaderCase{"CallersCookieLineStaysBesideTheStore",
                                 "Cookie: pre=1",
                                 {"User-Agent: " + kDefaultAgent, "Cookie: pre=1", "Referer: @", "Accept: */*",
                                  "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded"},
                                 "Cookie: pre=1\r\nReferer: @" + kDefaultTail}),
    [](const auto& info) { return info.param.name; });

struct BodyCase {
  std::string name;
  int method;
  std::string postText;
  std::string postBytesBefore;
  std::string verb;
  std::string sentBody;  // also the post bytes afterwards when a body is due
  std::string postBytesAfter;
};
void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }

class FetchBody : public ::testing::TestWithParam<BodyCase> {};

TEST_P(FetchBody, SendsTheVerbAndTheBody) {
  const BodyCase& c = GetParam();
  RawServer server([](const RawRequest&, int) { return Ok("done"); });
  Bytes postBytes = c.postBytesBefore;

  EXPECT_EQ(FetchPage(server.Url("/form"), c.method, c.postText, nullptr, nullptr, nullptr, nullptr, false, &postBytes),
            "done");

  EXPECT_EQ(postBytes, c.postBytesAfter);
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, c.verb);
  EXPECT_EQ(requests[0].body, c.sentBody);
  std::vector<std::string> wire{"User-Agent: " + kDefaultAgent, "Referer: " + server.Url("/form"), "Accept: */*",
                                "Accept-Language: zh-cn", "Content-Type: application/x-www-form-urlencoded"};
  if (c.method != 0 && (c.method == 1 || !c.sentBody.empty())) {
    wire.push_back("Content-Length: " + std::to_string(c.sentBody.size()));
  }
  EXPECT_THAT(LinesAfterHost(requests[0]), ElementsAreArray(wire));
}

INSTANTIATE_TEST_SUITE_P(Cases, FetchBody,
                         ::testing::Values(BodyCase{"GetIgnoresThePostText", 0, "a=1", "", "GET", "", ""},
                                           BodyCase{"PostFillsThePostBytesFromTheText", 1, "a=1&b=2", "", "POST",
                                                    "a=1&b=2", "a=1&b=2"},
                                           BodyCase{"PostBytesWinOverTheText", 1, "ignored", std::string("x\0y", 3),
                                                    "POST", std::string("x\0y", 3), std::string("x\0y", 3)},
                                           BodyCase{"PostWithNothingToSend", 1, "", "", "POST", "", ""},
                                           BodyCase{"OtherMethodsSendGetWithABody", 2, "q=1", "", "GET", "q=1", "q=1"},
                                           // libcurl would ask for "100 Continue" before a body this large.
                                           BodyCase{"LargeBodyGoesOutAtOnce", 1, std::string(2 << 20, 'p'), "", "POST",
                                                    std::string(2 << 20, 'p'), std::string(2 << 20, 'p')},
                                           BodyCase{"OtherMethodsWithoutBodyArePlainGet", 7, "", "", "GET", "", ""}),
                         [](const auto& info) { return info.param.name; });

// --- Cookies passed by the caller ----------------------------------------------

TEST(FetchCookies, PassedCookiesAreSentAndTheAnswersMergedIn) {
  RawServer server([](const RawRequest&, int) {
    return Answer("200 OK", {"Set-Cookie: a=1; path=/", "Set-Cookie: b=2; path=/"}, "body");
  });
  Text cookies = "b=9; c=3";
  Text newCookies = "stale";

  EXPECT_EQ(FetchPage(server.Url("/c"), 0, {}, &cookies, &newCookies), "body");

  EXPECT_EQ(cookies, "a=1; b=2; c=3");
  EXPECT_EQ(newCookies, "a=1;b=2;");
  const auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].headerLines.back(), "Cookie: b=9; c=3");
  EXPECT_EQ(requests[0].CountHeaders("Cookie"), 1);
}

TEST(FetchCookies, PassedEmptyCookiesSendNoCookieLineButStillMerge) {
  RawServer server([](const RawRequest&, int) {
    return Answer("200 OK", {"Set-Cookie: a=1; path=/", "Set-Cookie: b=2; path=/"}, "body");
  });
  Text cookies;

  FetchPage(server.Url("/c"), 0, {}, &cookies);

  EXPECT_EQ(cookies, "a=1; b=2");
  EXPECT_EQ(server.Requests().at(0).CountHeaders("Cookie"), 0);
}

TEST(FetchCookies, NewCookiesWithoutPassedCookiesKeepTheirSpaces) {
  // A path of its own keeps these cookies of the process-wide store out of the
  // other tests' requests.
  RawServer server([](const RawRequest&, int) {
    return Answer("200 OK", {"Set-Cookie: a=1; path=/spaced", "Set-Cookie: b=2; path=/spaced"}, "body");
  });
  Text newCookies;

  FetchPage(server.Url("/spaced/c"), 0, {}, nullptr, &newCookies);

  EXPECT_EQ(newCookies, "a=1; b=2; ");
}

TEST(FetchCookies, SetCookieWithoutAttributesKeepsItsCookie) {
  RawServer server([](const RawRequest&, int) {
    return Answer("200 OK", {"Set-Cookie: first=1; path=/", "Set-Cookie: last=9"}, "body");
  });
  Text cookies;
  Text newCookies;

  FetchPage(server.Url("/c"), 0, {}, &cookies, &newCookies);

  EXPECT_EQ(cookies, "first=1; last=9");
  EXPECT_EQ(newCookies, "first=1;last=9;");
}

// --- The process-wide cookie store ---------------------------------------------

// Each test keeps its cookies under a path of its own: the store lives as long
// as the process and cookies do not tell loopback ports apart.
class FetchCookieStore : public ::testing::Test {
 protected:
  void SetUp() override {
    server_.server().Get(R"(/(\w+)/set)", [](const httplib::Request& req, httplib::Response& res) {
      res.set_header("Set-Cookie", req.matches[1].str() + "=v; Path=/" + req.matches[1].str());
      res.set_content("set", "text/plain");
    });
    server_.server().Get(R"(/(\w+)/hop)", [](const httplib::Request& req, httplib::Response& res) {
      res.set_header("Set-Cookie", req.matches[1].str() + "=hop; Path=/" + req.matches[1].str());
      res.set_redirect("/" + req.matches[1].str() + "/landed");
    });
    server_.server().Get(R"(/(\w+)/\w+)", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("page", "text/plain");
    });
    server_.Start();
  }

  // The Cookie header of the last request for `path`: "-" when it had none,
  // "?" when there was no such request.
  std::string CookieSentTo(const std::string& path) {
    std::string found = "?";
    for (const auto& request : server_.Requests()) {
      if (request.path == path) found = request.Header("Cookie").empty() ? "-" : request.Header("Cookie");
    }
    return found;
  }

  test::LoopbackServer server_;
};

TEST_F(FetchCookieStore, ACookieSetByOneCallIsSentByTheNext) {
  FetchPageText(server_.Url("/jar1/set"));
  FetchPageText(server_.Url("/jar1/check"));

  EXPECT_EQ(CookieSentTo("/jar1/set"), "-");
  EXPECT_EQ(CookieSentTo("/jar1/check"), "jar1=v");
}

TEST_F(FetchCookieStore, CookiesSetOnAFollowedRedirectAreStored) {
  EXPECT_EQ(FetchPageText(server_.Url("/jar2/hop")), "page");
  FetchPageText(server_.Url("/jar2/check"));

  EXPECT_EQ(CookieSentTo("/jar2/landed"), "jar2=hop");
  EXPECT_EQ(CookieSentTo("/jar2/check"), "jar2=hop");
}

TEST_F(FetchCookieStore, IsSharedAcrossThreads) {
  std::thread([&] { FetchPageText(server_.Url("/jar3/set")); }).join();
  std::thread([&] { FetchPageText(server_.Url("/jar3/check")); }).join();

  EXPECT_EQ(CookieSentTo("/jar3/check"), "jar3=v");
}

TEST_F(FetchCookieStore, PassedCookiesKeepTheStoreOutOfTheRequest) {
  FetchPageText(server_.Url("/jar4/set"));
  Text empty;
  FetchPage(server_.Url("/jar4/empty"), 0, {}, &empty);
  Text own = "own=1";
  FetchPage(server_.Url("/jar4/own"), 0, {}, &own);

  EXPECT_EQ(CookieSentTo("/jar4/empty"), "-");
  EXPECT_EQ(CookieSentTo("/jar4/own"), "own=1");
}

TEST_F(FetchCookieStore, PassedCookiesAreNotStored) {
  Text cookies;
  FetchPage(server_.Url("/jar5/set"), 0, {}, &cookies);
  FetchPageText(server_.Url("/jar5/check"));

  EXPECT_EQ(cookies, "jar5=v");
  EXPECT_EQ(CookieSentTo("/jar5/check"), "-");
}

TEST_F(FetchCookieStore, ConcurrentCallsAllGetTheirPages) {
  std::vector<std::thread> threads;
  std::atomic<int> pages{0};
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] {
      const std::string jar = "/con" + std::to_string(i);
      FetchPageText(server_.Url(jar + "/set"));
      if (FetchPageText(server_.Url(jar + "/check")) == "page") ++pages;
    });
  }
  for (auto& thread : threads) thread.join();

  EXPECT_EQ(pages, 8);
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(CookieSentTo("/con" + std::to_string(i) + "/check"), "con" + std::to_string(i) + "=v");
  }
}

// --- Redirects ----------------------------------------------------------------

TEST(FetchRedirect, MovedAnswerIsFollowedToTheLocationAndTheFirstPath) {
  RawServer second([](const RawRequest&, int) { return Ok("second"); });
  RawServer first([&](const RawRequest&, int) {
    return Answer("301 Moved Permanently", {"Location: http://127.0.0.1:" + std::to_string(second.port())}, "moved");
  });
  const std::string address = first.Url("/mv/page?q=1");
  Text target;
  Text headers;
  Text lines;

  EXPECT_EQ(FetchPage(address, 0, {}, nullptr, nullptr, &lines, &target, true, nullptr, nullptr, &headers), "second");

  ASSERT_EQ(first.Requests().size(), 1u);
  const auto followUps = second.Requests();
  ASSERT_EQ(followUps.size(), 1u);
  EXPECT_EQ(followUps[0].target, "/mv/page?q=1");
  // The follow-up sends the lines as the first call completed them.
  EXPECT_EQ(lines, "Referer: " + address + kDefaultTail);
  EXPECT_EQ(LinesAfterHost(followUps[0]), LinesAfterHost(first.Requests()[0]));
  EXPECT_EQ(headers, "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n");
  EXPECT_EQ(target, headers);
}

TEST(FetchRedirect, MovedFollowUpLeavesTheCookieStoreOut) {
  test::LoopbackServer second;
  second.server().Get("/mvs/seed", [](const httplib::Request&, httplib::Response& res) {
    res.set_header("Set-Cookie", "mvs=1; Path=/mvs");
    res.set_content("seed", "text/plain");
  });
  second.Page("/mvs/page", "second");
  second.Start();
  RawServer first(
      [&](const RawRequest&, int) { return Answer("301 Moved Permanently", {"Location: " + second.Url()}, ""); });
  FetchPageText(second.Url("/mvs/seed"));

  EXPECT_EQ(FetchPage(first.Url("/mvs/page"), 0, {}, nullptr, nullptr, nullptr, nullptr, true), "second");

  // The first call takes part in the store, the follow-up gets every argument
  // as passed, the cookies as an empty text among them.
  EXPECT_EQ(first.Requests().at(0).CountHeaders("Cookie: mvs=1"), 1);
  const auto requests = second.Requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[1].path, "/mvs/page");
  EXPECT_EQ(requests[1].Header("Cookie"), "");
}

TEST(FetchRedirect, MovedFollowUpSendsTheMergedCookiesOnceMore) {
  RawServer second([](const RawRequest&, int) { return Ok("second"); });
  RawServer first([&](const RawRequest&, int) {
    return Answer("301 Moved Permanently",
                  {"Set-Cookie: n=2; path=/", "Location: http://127.0.0.1:" + std::to_string(second.port())}, "");
  });
  Text cookies = "o=1";

  FetchPage(first.Url("/p"), 0, {}, &cookies, nullptr, nullptr, nullptr, true);

  EXPECT_EQ(cookies, "n=2; o=1");
  const auto lines = LinesAfterHost(second.Requests().at(0));
  EXPECT_EQ(lines[lines.size() - 2], "Cookie: o=1");
  EXPECT_EQ(lines.back(), "Cookie: n=2; o=1");
}

struct RedirectCase {
  std::string name;
  std::string status;
  bool noRedirect;
  std::string body;                  // what FetchPage returns
  std::vector<std::string> targets;  // requests that reached the server
  std::string redirectTarget;        // "*" stands for the final header block
};
void PrintTo(const RedirectCase& c, std::ostream* os) { *os << c.name; }

class FetchAutomaticRedirect : public ::testing::TestWithParam<RedirectCase> {};

TEST_P(FetchAutomaticRedirect, FollowsAsTheFlagSays) {
  const RedirectCase& c = GetParam();
  RawServer server([&](const RawRequest& request, int) {
    if (request.target == "/from") return Answer(c.status, {"Location: /to"}, "redirect body");
    return Ok("landed");
  });
  Text target;
  Text headers;

  EXPECT_EQ(FetchPage(server.Url("/from"), 0, {}, nullptr, nullptr, nullptr, &target, c.noRedirect, nullptr, nullptr,
                      &headers),
            c.body);

  EXPECT_EQ(Targets(server.Requests()), c.targets);
  EXPECT_EQ(target, c.redirectTarget == "*" ? headers : c.redirectTarget);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FetchAutomaticRedirect,
    ::testing::Values(
        RedirectCase{"FoundIsFollowedAutomatically", "302 Found", false, "landed", {"/from", "/to"}, "*"},
        RedirectCase{"FoundWithNoRedirectIsNotFollowed", "302 Found", true, "redirect body", {"/from"}, "/to"},
        RedirectCase{"MovedIsFollowedAutomatically", "301 Moved Permanently", false, "landed", {"/from", "/to"}, "*"},
        RedirectCase{"SeeOtherIsFollowedAutomatically", "303 See Other", false, "landed", {"/from", "/to"}, "*"}),
    [](const auto& info) { return info.param.name; });

TEST(FetchRedirect, RedirectTargetIsNotClearedAtTheStart) {
  RawServer server([](const RawRequest&, int) { return Ok("x"); });
  Text target = "kept";

  FetchPage(server.Url("/"), 0, {}, nullptr, nullptr, nullptr, &target);

  EXPECT_EQ(target, "kept");
}

TEST(FetchRedirect, RedirectLoopEnds) {
  RawServer server([](const RawRequest&, int index) {
    return Answer("302 Found", {"Location: /loop" + std::to_string(index + 1)}, "");
  });

  EXPECT_THAT(FetchPageText(server.Url("/loop0")), IsEmpty());

  EXPECT_EQ(server.Requests().size(), FetchLimits{}.maxAutomaticRedirects + 1u);
}

TEST(FetchRedirect, SuccessiveMovedFollowUpsStopAtTheLimit) {
  RawServer server([&](const RawRequest&, int index) {
    return Answer("301 Moved Permanently", {"Location: http://127.0.0.1:" + std::to_string(server.port())},
                  "answer " + std::to_string(index + 1));
  });
  FetchLimits limits;
  limits.maxMovedFollowUps = 3;
  Text headers;

  EXPECT_EQ(FetchPage(server.Url("/again"), 0, {}, nullptr, nullptr, nullptr, nullptr, true, nullptr, nullptr, &headers,
                      limits),
            "answer 4");
  EXPECT_EQ(server.Requests().size(), 4u);
  EXPECT_THAT(headers, HasSubstr("301 Moved"));

  EXPECT_EQ(FetchPage(server.Url("/again"), 0, {}, nullptr, nullptr, nullptr, nullptr, true), "answer 15");
  EXPECT_EQ(server.Requests().size(), 4u + FetchLimits{}.maxMovedFollowUps + 1u);
}

TEST(FetchRedirect, OtherStatusTextsAreNotFollowedByTheFetcher) {
  // "301" must stand between "HTTP/1.1 " and " Moved".
  RawServer elsewhere([](const RawRequest&, int) { return Ok("elsewhere"); });
  const std::string location = "Location: http://127.0.0.1:" + std::to_string(elsewhere.port());
  for (const std::string status : {"301 Gone Away", "302 Moved Temporarily", "307 Moved"}) {
    RawServer server([&](const RawRequest&, int) { return Answer(status, {location}, "stay"); });
    EXPECT_EQ(FetchPage(server.Url("/s"), 0, {}, nullptr, nullptr, nullptr, nullptr, true), "stay") << status;
  }
  EXPECT_THAT(elsewhere.Requests(), IsEmpty());
}

// --- The UTF-8 test -----------------------------------------------------------

const std::string kUtf8Chinese = "\xE4\xB8\xAD\xE6\x96\x87";  // 中文
const std::string kAnsiChinese = "\xD6\xD0\xCE\xC4";

struct Utf8Case {
  std::string name;
  std::vector<std::string> headers;
  std::size_t markerAt;  // 1-based position in the body; 0: none
  std::string marker;
  bool converted;
};
void PrintTo(const Utf8Case& c, std::ostream* os) { *os << c.name; }

class FetchUtf8 : public ::testing::TestWithParam<Utf8Case> {};

TEST_P(FetchUtf8, ConvertsWhenThePageDeclaresUtf8) {
  const Utf8Case& c = GetParam();
  std::string head;
  if (c.markerAt > 0) head = std::string(c.markerAt - 1, 'x') + c.marker;
  const std::string body = head + "|" + kUtf8Chinese;
  RawServer server([&](const RawRequest&, int) { return Answer("200 OK", c.headers, body); });

  EXPECT_EQ(FetchPage(server.Url("/u")), c.converted ? head + "|" + kAnsiChinese : body);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FetchUtf8,
    ::testing::Values(Utf8Case{"MarkerAtByte100", {}, 100, "charset=utf-8", true},
                      Utf8Case{"MarkerAtByte1", {}, 1, "charset=utf-8", true},
                      Utf8Case{"MarkerAtByte499", {}, 499, "charset=utf-8", true},
                      Utf8Case{"MarkerAtByte500", {}, 500, "charset=utf-8", false},
                      Utf8Case{"MarkerAtByte600", {}, 600, "charset=utf-8", false},
                      Utf8Case{"MarkerInCapitals", {}, 100, "charset=UTF-8", false},
                      Utf8Case{"NoMarker", {}, 0, "", false},
                      Utf8Case{"ContentTypeHeader", {"Content-Type: text/html; charset=utf-8"}, 0, "", true},
                      Utf8Case{"ContentTypeHeaderInCapitals", {"Content-Type: text/html; charset=UTF-8"}, 0, "", false},
                      Utf8Case{"HeaderMarkerConvertsWhateverTheBodySays",
                               {"Content-Type: text/html; charset=utf-8"},
                               600,
                               "charset=utf-8",
                               true}),
    [](const auto& info) { return info.param.name; });

// --- Response headers -----------------------------------------------------------

TEST(FetchResponseHeaders, AreTheRawBlockOfTheAnswer) {
  const std::string head = HeadOf("200 OK", {"X-A: 1", "x-lower: 2"}, 4);
  RawServer server([&](const RawRequest&, int) { return Reply{head + "body"}; });
  Text headers = "stale";

  FetchPage(server.Url("/"), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr, &headers);

  EXPECT_EQ(headers, head);
}

TEST(FetchResponseHeaders, BareLineFeedsComeBackAsCarriageReturnLineFeed) {
  RawServer server([](const RawRequest&, int) { return Reply{"HTTP/1.1 200 OK\nX-A: 1\nContent-Length: 2\n\nok"}; });
  Text headers;

  EXPECT_EQ(FetchPage(server.Url("/"), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr, &headers),
            "ok");

  EXPECT_EQ(headers, "HTTP/1.1 200 OK\r\nX-A: 1\r\nContent-Length: 2\r\n\r\n");
}

TEST(FetchResponseHeaders, TrailersOfAChunkedBodyStayOut) {
  RawServer server([](const RawRequest&, int) {
    return Reply{
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-T\r\n\r\n2\r\nok\r\n0\r\nX-T: late\r\n\r\n"};
  });
  Text headers;

  EXPECT_EQ(FetchPage(server.Url("/"), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr, &headers),
            "ok");

  EXPECT_EQ(headers, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nTrailer: X-T\r\n\r\n");
}

TEST(FetchResponseHeaders, LongHeaderBlockIsKeptWhole) {
  const std::vector<std::string> lines{"X-Filler: " + std::string(6000, 'f'), "Set-Cookie: big=1; path=/",
                                       "Content-Type: text/html; charset=utf-8"};
  const std::string head = HeadOf("200 OK", lines, kUtf8Chinese.size());
  RawServer server([&](const RawRequest&, int) { return Reply{head + kUtf8Chinese}; });
  Text cookies;
  Text headers;
  Text target;

  EXPECT_EQ(FetchPage(server.Url("/"), 0, {}, &cookies, nullptr, nullptr, &target, false, nullptr, nullptr, &headers),
            kAnsiChinese);

  EXPECT_EQ(headers, head);
  EXPECT_EQ(target, head);
  EXPECT_EQ(cookies, "big=1");
}

TEST(FetchResponseHeaders, LongHeaderBlockStillLeadsToTheMovedFollowUp) {
  RawServer second([](const RawRequest&, int) { return Ok("second"); });
  RawServer first([&](const RawRequest&, int) {
    return Answer(
        "301 Moved Permanently",
        {"X-Filler: " + std::string(6000, 'f'), "Location: http://127.0.0.1:" + std::to_string(second.port())}, "");
  });

  EXPECT_EQ(FetchPage(first.Url("/big"), 0, {}, nullptr, nullptr, nullptr, nullptr, true), "second");
  EXPECT_EQ(Targets(second.Requests()), std::vector<std::string>{"/big"});
}

// --- Proxy --------------------------------------------------------------------

TEST(FetchProxy, HttpAddressGoesThroughTheProxy) {
  RawServer origin([](const RawRequest&, int) { return Ok("direct"); });
  RawServer proxy([](const RawRequest&, int) { return Ok("proxied"); });
  const std::string address = origin.Url("/via?x=1");
  const Text proxyText = "127.0.0.1:" + std::to_string(proxy.port());

  EXPECT_EQ(FetchPage(address, 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, &proxyText), "proxied");

  EXPECT_EQ(origin.Connections(), 0);
  const auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method + " " + requests[0].target + " " + requests[0].version, "GET " + address + " HTTP/1.1");
  EXPECT_THAT(requests[0].headerLines,
              ElementsAre("Host: 127.0.0.1:" + std::to_string(origin.port()), "User-Agent: " + kDefaultAgent,
                          "Referer: " + address, "Accept: */*", "Accept-Language: zh-cn",
                          "Content-Type: application/x-www-form-urlencoded"));
}

TEST(FetchProxy, EmptyProxyTextAndNoProxyGoDirect) {
  RawServer origin([](const RawRequest&, int) { return Ok("direct"); });
  RawServer proxy([](const RawRequest&, int) { return Ok("proxied"); });
  const Text empty;

  EXPECT_EQ(FetchPage(origin.Url("/a"), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, &empty), "direct");
  // The environment's proxy settings have no say either.
  ::setenv("http_proxy", proxy.Url("").c_str(), 1);
  const Text viaEnvironment = FetchPageText(origin.Url("/b"));
  ::unsetenv("http_proxy");
  EXPECT_EQ(viaEnvironment, "direct");

  EXPECT_EQ(proxy.Connections(), 0);
  EXPECT_EQ(Targets(origin.Requests()), (std::vector<std::string>{"/a", "/b"}));
}

TEST(FetchProxy, HttpsAddressGoesDirect) {
  // Nothing here speaks TLS: the origin sees the handshake, the proxy nothing.
  RawServer origin([](const RawRequest&, int) { return Ok("never"); });
  RawServer proxy([](const RawRequest&, int) { return Ok("proxied"); });
  const Text proxyText = "127.0.0.1:" + std::to_string(proxy.port());
  FetchLimits limits;
  limits.stallTimeoutMs = 200;

  EXPECT_THAT(FetchPage("https://127.0.0.1:" + std::to_string(origin.port()) + "/s", 0, {}, nullptr, nullptr, nullptr,
                        nullptr, false, nullptr, &proxyText, nullptr, limits),
              IsEmpty());

  EXPECT_EQ(origin.Connections(), 1);
  EXPECT_EQ(proxy.Connections(), 0);
}

// --- Failures and bounds ----------------------------------------------------------

TEST(FetchFailure, UnreachablePortGivesEmptyBytes) {
  Text headers = "stale";
  Text target;

  const DeadPort dead;
  EXPECT_THAT(FetchPage("http://127.0.0.1:" + std::to_string(dead.port()) + "/x", 0, {}, nullptr, nullptr, nullptr,
                        &target, false, nullptr, nullptr, &headers),
              IsEmpty());
  EXPECT_THAT(headers, IsEmpty());
  EXPECT_THAT(target, IsEmpty());
}

TEST(FetchFailure, ServerThatNeverAnswersIsLeftAfterTheStallTimeout) {
  RawServer server([](const RawRequest&, int) { return Reply{{}, false, true}; });
  FetchLimits limits;
  limits.stallTimeoutMs = 300;

  const auto start = std::chrono::steady_clock::now();
  EXPECT_THAT(FetchPage(server.Url("/hang"), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr,
                        nullptr, limits),
              IsEmpty());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
}

TEST(FetchFailure, SlowButSteadyBodyIsNotCutOff) {
  // Bytes keep moving, so the stall timeout never fires although the whole
  // transfer takes longer than it.
  FetchLimits limits;
  limits.stallTimeoutMs = 1500;
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), length), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
  std::thread trickle([listener] {
    const int fd = accept(listener, nullptr, nullptr);
    char buffer[4096];
    (void)recv(fd, buffer, sizeof buffer, 0);
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\n";
    send(fd, head.data(), head.size(), MSG_NOSIGNAL);
    for (char c : std::string("steady")) {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      send(fd, &c, 1, MSG_NOSIGNAL);
    }
    close(fd);
  });

  EXPECT_EQ(FetchPage("http://127.0.0.1:" + std::to_string(ntohs(address.sin_port)) + "/slow", 0, {}, nullptr, nullptr,
                      nullptr, nullptr, false, nullptr, nullptr, nullptr, limits),
            "steady");
  trickle.join();
  close(listener);
}

struct SizeCase {
  std::string name;
  std::size_t bodySize;
  bool announced;  // with Content-Length; else the body ends with the connection
  bool kept;
};
void PrintTo(const SizeCase& c, std::ostream* os) { *os << c.name; }

class FetchBodyLimit : public ::testing::TestWithParam<SizeCase> {};

TEST_P(FetchBodyLimit, LargerBodyCountsAsAFailedRead) {
  const SizeCase& c = GetParam();
  const std::string body(c.bodySize, 'b');
  RawServer server([&](const RawRequest&, int) {
    if (c.announced) return Ok(body);
    return Reply{"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + body, true};
  });
  FetchLimits limits;
  limits.maxBodyBytes = 1000;

  EXPECT_EQ(FetchPage(server.Url("/big"), 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr, nullptr,
                      limits),
            c.kept ? body : "");
}

INSTANTIATE_TEST_SUITE_P(Cases, FetchBodyLimit,
                         ::testing::Values(SizeCase{"AtTheLimit", 1000, true, true},
                                           SizeCase{"OverTheLimit", 1001, true, false},
                                           SizeCase{"UnannouncedAtTheLimit", 1000, false, true},
                                           SizeCase{"UnannouncedOverTheLimit", 200000, false, false}),
                         [](const auto& info) { return info.param.name; });

// --- Other schemes ------------------------------------------------------------------

class FetchLocalFile : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() / ("kestrune-fetch-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder_);
    std::ofstream(folder_ / "secret.txt") << "TOP-SECRET-CONTENT";
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }

  std::string FolderUrl() const { return "file://" + folder_.string(); }

  std::filesystem::path folder_;
};

TEST_F(FetchLocalFile, AutomaticRedirectToAFileIsRefused) {
  RawServer server(
      [&](const RawRequest&, int) { return Answer("302 Found", {"Location: " + FolderUrl() + "/secret.txt"}, ""); });

  EXPECT_THAT(FetchPageText(server.Url("/secret.txt")), Not(HasSubstr("SECRET")));
}

TEST_F(FetchLocalFile, MovedFollowUpToAFileIsRefused) {
  RawServer server(
      [&](const RawRequest&, int) { return Answer("301 Moved Permanently", {"Location: " + FolderUrl()}, "moved"); });

  for (bool noRedirect : {true, false}) {
    EXPECT_THAT(FetchPage(server.Url("/secret.txt"), 0, {}, nullptr, nullptr, nullptr, nullptr, noRedirect), IsEmpty());
  }
  EXPECT_EQ(server.Requests().size(), 2u);
}

TEST_F(FetchLocalFile, OtherSchemesAreNeverFetched) {
  RawServer server([](const RawRequest&, int) { return Ok("served"); });
  const std::string port = std::to_string(server.port());
  for (const std::string& address : std::vector<std::string>{
           FolderUrl() + "/secret.txt", "FILE:" + folder_.string() + "/secret.txt", "ftp://127.0.0.1:" + port + "/x",
           "gopher://127.0.0.1:" + port + "/x", "dict://127.0.0.1:" + port + "/x", "127.0.0.1:" + port + "/a\r\nb"}) {
    EXPECT_THAT(FetchPageText(address), IsEmpty()) << address;
  }
  EXPECT_EQ(server.Connections(), 0);
}

}  // namespace
}  // namespace kestrune
