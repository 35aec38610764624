// SPDX-License-Identifier: MIT
#include "web/http_reader.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "web/codepage.h"

namespace kestrune {
namespace {

using std::chrono::steady_clock;
using testing::ElementsAre;
using testing::ElementsAreArray;
using testing::IsEmpty;

constexpr const char* kAgentLine = "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr const char* kAcceptLine =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*";
constexpr const char* kLanguageLine = "Accept-Language: zh-cn";
constexpr auto kHangBound = std::chrono::seconds(20);

// A request exactly as it came over the wire.
struct WireRequest {
  std::string requestLine;
  std::vector<std::string> headerLines;  // in order, without "\r\n"
  std::string body;

  std::string Verb() const { return requestLine.substr(0, requestLine.find(' ')); }
};

// What the server does with one connection: write bytes (one write per
// element, with `pause` between them), or hold the connection without an
// answer until the server stops.
struct Reply {
  std::vector<std::string> pieces;
  std::chrono::milliseconds pause{0};
  bool hold = false;
};

std::string Response(const std::string& status, const std::string& body, const std::string& headers = {}) {
  return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n" + headers + "\r\n" + body;
}

Reply Answer(const std::string& status, const std::string& body, const std::string& headers = {}) {
  return Reply{{Response(status, body, headers)}};
}

// A loopback server that speaks just enough HTTP to record requests byte for
// byte (verb case, header order and all) and to misbehave on purpose. One
// connection at a time, one request per connection.
class WireServer {
 public:
  using Responder = std::function<Reply(const WireRequest&)>;

  explicit WireServer(Responder responder) : responder_(std::move(responder)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener_, 16);
    socklen_t length = sizeof addr;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &length);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }
  ~WireServer() {
    stop_ = true;
    thread_.join();
    for (int fd : held_) ::close(fd);
    ::close(listener_);
  }
  WireServer(const WireServer&) = delete;
  WireServer& operator=(const WireServer&) = delete;

  int port() const { return port_; }
  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  std::vector<WireRequest> Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  bool Readable(int fd) {
    pollfd p{fd, POLLIN, 0};
    while (!stop_) {
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  }

  void Serve() {
    while (Readable(listener_)) {
      int fd = ::accept(listener_, nullptr, nullptr);
      if (fd < 0) continue;
      std::optional<WireRequest> request = ReadRequest(fd);
      if (!request) {
        ::close(fd);
        continue;
      }
      {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(*request);
      }
      Reply reply = responder_(*request);
      for (std::size_t i = 0; i < reply.pieces.size() && !stop_; ++i) {
        if (i > 0) std::this_thread::sleep_for(reply.pause);
        if (::send(fd, reply.pieces[i].data(), reply.pieces[i].size(), MSG_NOSIGNAL) < 0) break;
      }
      if (reply.hold) {
        held_.push_back(fd);
      } else {
        ::close(fd);
      }
    }
  }

  std::optional<WireRequest> ReadRequest(int fd) {
    std::string data;
    std::size_t headEnd;
    while ((headEnd = data.find("\r\n\r\n")) == std::string::npos) {
      if (!ReadMore(fd, data)) return std::nullopt;
    }
    WireRequest request;
    std::size_t from = 0;
    std::size_t contentLength = 0;
    while (from < headEnd) {
      std::size_t end = data.find("\r\n", from);
      std::string line = data.substr(from, end - from);
      if (from == 0) {
        request.requestLine = line;
      } else {
        request.headerLines.push_back(line);
        if (strncasecmp(line.c_str(), "Content-Length:", 15) == 0) contentLength = std::stoul(line.substr(15));
      }
      from = end + 2;
    }
    request.body = data.substr(headEnd + 4);
    while (request.body.size() < contentLength) {
      if (!ReadMore(fd, request.body)) return std::nullopt;
    }
    return request;
  }

  bool ReadMore(int fd, std::string& data) {
    if (!Readable(fd)) return false;
    char buffer[65536];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) return false;
    data.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  Responder responder_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::vector<int> held_;
  mutable std::mutex mutex_;
  std::vector<WireRequest> requests_;
};

// A loopback port with nothing listening on it.
int DeadPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t length = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
  ::close(fd);
  return ntohs(addr.sin_port);
}

WireServer::Responder Always(const std::string& body) {
  return [body](const WireRequest&) { return Answer("200 OK", body); };
}

std::vector<std::string> DefaultLines(const WireServer& server, const std::string& address) {
  return {"Host: 127.0.0.1:" + std::to_string(server.port()), kAgentLine, kAcceptLine, "Referer: " + address,
          kLanguageLine};
}

TEST(HttpReadBytes, DefaultRequestCarriesExactlyTheDefaultLines) {
  const std::string body("raw\0\xff\xc4\xe3 bytes", 13);
  WireServer server(Always(body));
  const Text address = server.Url("/dir/page.html?a=1&b=2");

  EXPECT_EQ(HttpReadBytes(address), body);

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine, "GET /dir/page.html?a=1&b=2 HTTP/1.1");
  EXPECT_THAT(requests[0].headerLines, ElementsAreArray(DefaultLines(server, address)));
  EXPECT_EQ(requests[0].body, "");
}

TEST(HttpReadBytes, CallerLinesComeFirstAndReplaceTheDefaultsTheyName) {
  WireServer server(Always("ok"));
  const Text address = server.Url("/");
  std::string host = "Host: 127.0.0.1:" + std::to_string(server.port());

  HttpReadBytes(address, {}, nullptr, "aCCEPT: text/plain\r\nX-Token: 7\r\n");
  HttpReadBytes(address, {}, nullptr, "referer: http://elsewhere/\r\nACCEPT-LANGUAGE: en\r\n");
  // "X-Accept: " holds "Accept: ": no default Accept line, and libcurl adds
  // none of its own either.
  HttpReadBytes(address, {}, nullptr, "X-Accept: 1\r\n");

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_THAT(requests[0].headerLines,
              ElementsAre(host, kAgentLine, "aCCEPT: text/plain", "X-Token: 7", "Referer: " + address, kLanguageLine));
  EXPECT_THAT(requests[1].headerLines,
              ElementsAre(host, kAgentLine, "referer: http://elsewhere/", "ACCEPT-LANGUAGE: en", kAcceptLine));
  EXPECT_THAT(requests[2].headerLines,
              ElementsAre(host, kAgentLine, "X-Accept: 1", "Referer: " + address, kLanguageLine));
}

struct MethodCase {
  const char* name;
  Text method;
  Text postData;
  std::string verb;
  bool formLines;
};

class Methods : public testing::TestWithParam<MethodCase> {};

TEST_P(Methods, VerbBodyAndFormLines) {
  const MethodCase& c = GetParam();
  WireServer server(Always("ok"));
  const Text address = server.Url("/list");

  EXPECT_EQ(HttpReadBytes(address, c.method, nullptr, {}, c.postData), "ok");

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine, c.verb + " /list HTTP/1.1");
  std::vector<std::string> lines = DefaultLines(server, address);
  if (c.formLines) {
    lines.push_back("Content-Type: application/x-www-form-urlencoded");
    lines.push_back("Content-Length: " + std::to_string(c.postData.size()));
  }
  EXPECT_THAT(requests[0].headerLines, ElementsAreArray(lines));
  EXPECT_EQ(requests[0].body, c.formLines ? c.postData : "");
}

INSTANTIATE_TEST_SUITE_P(
    HttpReadBytes, Methods,
    testing::Values(MethodCase{"EmptyIsGet", "", "", "GET", false},
                    MethodCase{"GetIgnoresPostData", "GET", "a=1", "GET", false},
                    MethodCase{"PutIsSentAsGet", "PUT", "a=1", "GET", false},
                    MethodCase{"PostWithForm", "POST", "Yz0=dq&Yz1=42&Yz2=&Yz3=&Yz4=", "POST", true},
                    MethodCase{"PostWithoutDataHasNoFormLines", "POST", "", "POST", false},
                    MethodCase{"LowerCasePostIsSentAsWritten", "post", "a=1", "post", true},
                    MethodCase{"LengthCountsBytesOfTwoByteCharacters", "Post", Ansi("中文"), "Post", true}),
    [](const testing::TestParamInfo<MethodCase>& info) { return std::string(info.param.name); });

TEST(HttpReadBytes, ErrorPageBodyIsReturned) {
  WireServer server([](const WireRequest&) { return Answer("404 Not Found", "<h1>missing</h1>"); });
  EXPECT_EQ(HttpReadBytes(server.Url("/nope")), "<h1>missing</h1>");
}

TEST(HttpReadBytes, ResponseHeadersAreTheFinalResponsesWholeBlock) {
  const std::string longValue(3000, 'v');
  WireServer server([&](const WireRequest& r) {
    if (r.requestLine.starts_with("GET /old")) return Answer("302 Found", "moved", "Location: /new\r\n");
    return Answer("200 OK", "fresh", "X-Long: " + longValue + "\r\n");
  });
  Text headers = "stale";
  EXPECT_EQ(HttpReadBytes(server.Url("/old"), {}, nullptr, {}, {}, &headers), "fresh");
  EXPECT_EQ(headers, "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\nX-Long: " + longValue +
                         "\r\n\r\n");

  Text none = "stale";
  HttpReadBytes("http://127.0.0.1:" + std::to_string(DeadPort()) + "/", {}, nullptr, {}, {}, &none);
  EXPECT_EQ(none, "");
}

TEST(HttpReadBytes, RedirectedPostBecomesAPlainGet) {
  WireServer server([](const WireRequest& r) {
    if (r.requestLine.find("/form") != std::string::npos) return Answer("302 Found", "", "Location: /result?id=1\r\n");
    if (r.requestLine.find("/keep") != std::string::npos) return Answer("307 Temporary Redirect", "", "Location: /result\r\n");
    return Answer("200 OK", "result");
  });
  const Text address = server.Url("/form");
  EXPECT_EQ(HttpReadBytes(address, "post", nullptr, {}, "a=1"), "result");
  EXPECT_EQ(HttpReadBytes(server.Url("/keep"), "POST", nullptr, {}, "b=2"), "result");

  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 4u);
  EXPECT_EQ(requests[0].requestLine, "post /form HTTP/1.1");
  EXPECT_EQ(requests[1].requestLine, "GET /result?id=1 HTTP/1.1");
  EXPECT_THAT(requests[1].headerLines, ElementsAreArray(DefaultLines(server, address)));
  EXPECT_EQ(requests[1].body, "");
  // 307 keeps the method and the form.
  EXPECT_EQ(requests[3].requestLine, "POST /result HTTP/1.1");
  EXPECT_EQ(requests[3].body, "b=2");
}

TEST(HttpReadBytes, RedirectsLeavingPlainHttpOrLoopingAreNotFollowedForEver) {
  WireServer server([](const WireRequest& r) {
    if (r.requestLine.find("/secure") != std::string::npos)
      return Answer("301 Moved Permanently", "go secure", "Location: https://127.0.0.1:1/\r\n");
    return Answer("302 Found", "again", "Location: /loop\r\n");
  });
  EXPECT_EQ(HttpReadBytes(server.Url("/secure")), "go secure");
  EXPECT_EQ(server.Requests().size(), 1u);

  auto start = steady_clock::now();
  EXPECT_EQ(HttpReadBytes(server.Url("/loop")), "again");
  EXPECT_LT(server.Requests().size(), 40u);
  EXPECT_LT(steady_clock::now() - start, kHangBound);
}

TEST(HttpReadBytes, UnreachableHostGivesEmptyBytes) {
  auto start = steady_clock::now();
  EXPECT_EQ(HttpReadBytes("http://127.0.0.1:" + std::to_string(DeadPort()) + "/"), "");
  EXPECT_LT(steady_clock::now() - start, kHangBound);
}

TEST(HttpReadBytes, ServerThatNeverAnswersIsGivenUp) {
  WireServer server([](const WireRequest&) { return Reply{{}, {}, true}; });
  HttpReaderOptions options;
  options.timeoutMs = 300;
  auto start = steady_clock::now();
  EXPECT_EQ(HttpReadBytes(server.Url("/"), {}, nullptr, {}, {}, nullptr, options), "");
  EXPECT_LT(steady_clock::now() - start, kHangBound);
}

TEST(HttpReadBytes, StalledBodyGivesWhatArrivedBefore) {
  WireServer server([](const WireRequest&) {
    return Reply{{"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nfirst part"}, {}, true};
  });
  HttpReaderOptions options;
  options.timeoutMs = 300;
  auto start = steady_clock::now();
  EXPECT_EQ(HttpReadBytes(server.Url("/"), {}, nullptr, {}, {}, nullptr, options), "first part");
  EXPECT_LT(steady_clock::now() - start, kHangBound);
}

TEST(HttpReadBytes, SlowButMovingTransferIsNotCutOff) {
  // The limit is on standing still, not on the whole transfer: ten pieces
  // 150 ms apart take longer than the limit but never stall for that long.
  std::vector<std::string> pieces = {"HTTP/1.1 200 OK\r\nContent-Length: 10\r\nConnection: close\r\n\r\n"};
  for (char c = '0'; c <= '9'; ++c) pieces.emplace_back(1, c);
  WireServer server([&](const WireRequest&) { return Reply{pieces, std::chrono::milliseconds(150)}; });
  HttpReaderOptions options;
  options.timeoutMs = 1000;
  EXPECT_EQ(HttpReadBytes(server.Url("/"), {}, nullptr, {}, {}, nullptr, options), "0123456789");
}

TEST(HttpReadBytes, ProcessEventsRunsBeforeEach512BytePieceOnTheCallingThread) {
  const std::string body(1500, 'x');
  WireServer server(Always(body));
  WireServer empty(Always(""));
  int calls = 0;
  bool otherThread = false;
  const auto caller = std::this_thread::get_id();
  HttpReaderOptions options;
  options.processEvents = [&] {
    ++calls;
    otherThread |= std::this_thread::get_id() != caller;
  };

  EXPECT_EQ(HttpReadBytes(server.Url("/"), {}, nullptr, {}, {}, nullptr, options), body);
  // At least three pieces of at most 512 bytes, and the read that finds the end.
  EXPECT_GE(calls, 4);
  EXPECT_FALSE(otherThread);

  calls = 0;
  EXPECT_EQ(HttpReadBytes(empty.Url("/"), {}, nullptr, {}, {}, nullptr, options), "");
  EXPECT_EQ(calls, 1);
}

TEST(HttpReadBytes, BodyOver64MiBGivesEmptyBytes) {
  const std::string chunk(1 << 20, 'z');
  std::vector<std::string> pieces = {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string((65u << 20)) +
                                     "\r\nConnection: close\r\n\r\n"};
  for (int i = 0; i < 65; ++i) pieces.push_back(chunk);
  WireServer server([&](const WireRequest&) { return Reply{pieces}; });
  EXPECT_EQ(HttpReadBytes(server.Url("/")), "");
}

TEST(HttpReadBytes, ProxyGetsTheSameRequestWithTheFullAddress) {
  WireServer proxy(Always("via proxy"));
  const Text address = "http://127.0.0.1:1/page?x=1";
  const Text proxyText = "127.0.0.1:" + std::to_string(proxy.port());

  EXPECT_EQ(HttpReadBytes(address, {}, &proxyText), "via proxy");

  auto requests = proxy.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine, "GET http://127.0.0.1:1/page?x=1 HTTP/1.1");
  EXPECT_THAT(requests[0].headerLines,
              ElementsAre("Host: 127.0.0.1:1", kAgentLine, kAcceptLine, "Referer: " + address, kLanguageLine));
}

// Through a proxy every address would reach the wire, so the proxy shows
// which ones the reader refuses before sending anything.
TEST(HttpReadBytes, AddressesUnderOtherSchemesAreNotSentAnywhere) {
  WireServer proxy(Always("via proxy"));
  const Text proxyText = "127.0.0.1:" + std::to_string(proxy.port());
  for (const char* address : {"https://example.com/a", "file:///etc/passwd", "FILE://host/share",
                              "javascript:alert('http://a/b')", "mailto:someone@example.com", "data:text/html,x"})
    EXPECT_EQ(HttpReadBytes(address, {}, &proxyText), "") << address;
  EXPECT_THAT(proxy.Requests(), IsEmpty());

  // Without a scheme, a port or an empty port still reads as before.
  for (const char* address : {"example.com:8080/a", "example.com:/a", "example.com/a:b"})
    EXPECT_EQ(HttpReadBytes(address, {}, &proxyText), "via proxy") << address;
  EXPECT_EQ(proxy.Requests().size(), 3u);
}

TEST(HttpReadBytes, EmptyOrMissingProxyConnectsDirectlyWhateverTheEnvironment) {
  WireServer server(Always("direct"));
  const std::string deadProxy = "http://127.0.0.1:" + std::to_string(DeadPort());
  ::setenv("http_proxy", deadProxy.c_str(), 1);
  ::setenv("HTTP_PROXY", deadProxy.c_str(), 1);
  const Text empty;
  Bytes withEmpty = HttpReadBytes(server.Url("/"), {}, &empty);
  Bytes without = HttpReadBytes(server.Url("/"));
  ::unsetenv("http_proxy");
  ::unsetenv("HTTP_PROXY");
  EXPECT_EQ(withEmpty, "direct");
  EXPECT_EQ(without, "direct");
}

TEST(HttpReadBytes, BlanksInThePathAreSentEncoded) {
  WireServer server(Always("ok"));
  EXPECT_EQ(HttpReadBytes(server.Url("/a b/c")), "ok");
  auto requests = server.Requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].requestLine, "GET /a%20b/c HTTP/1.1");
}

struct AddressCase {
  const char* name;
  Text address;
  Text host;
  int port;
  Text path;
};

class Addresses : public testing::TestWithParam<AddressCase> {};

TEST_P(Addresses, AreCutIntoHostPortAndPath) {
  const AddressCase& c = GetParam();
  EXPECT_EQ(HostOfAddress(c.address), c.host);
  EXPECT_EQ(PortOfAddress(c.address), c.port);
  EXPECT_EQ(PathOfAddress(c.address), c.path);
}

INSTANTIATE_TEST_SUITE_P(
    HttpReadBytes, Addresses,
    testing::Values(
        AddressCase{"SchemeInCapitalsMixedHostPortAndQuery", "HTTP://Pan.Example.COM:8080/share/link?uk=1&s=2",
                    "pan.example.com", 8080, "/share/link?uk=1&s=2"},
        AddressCase{"EndsAfterTheHost", "http://www.example.com", "www.example.com", 80, "/"},
        AddressCase{"EndsAfterThePort", "http://example.com:81", "example.com", 81, "/"},
        AddressCase{"WithoutScheme", "Example.com/dir/f.html", "example.com", 80, "/dir/f.html"},
        AddressCase{"WithoutSchemeOrPath", "example.com:8000", "example.com", 8000, "/"},
        AddressCase{"ChinesePath", Ansi("http://a.com/下载/文件.txt"), "a.com", 80, Ansi("/下载/文件.txt")},
        // The host is looked for after the scheme, not inside "http://".
        AddressCase{"HostThatAppearsInTheScheme", "http://t/x", "t", 80, "/x"},
        AddressCase{"HostNamedHttp", "http://http/y", "http", 80, "/y"}),
    [](const testing::TestParamInfo<AddressCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kestrune
