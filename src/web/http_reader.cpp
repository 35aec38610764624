// SPDX-License-Identifier: MIT
#include "web/http_reader.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "web/curl_global.h"

namespace kestrune {

namespace {

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr std::string_view kDefaultAcceptLine =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, application/x-shockwave-flash, "
    "application/vnd.ms-excel, application/vnd.ms-powerpoint, application/msword, */*\r\n";
constexpr std::string_view kLanguageLine = "Accept-Language: zh-cn\r\n";
constexpr std::string_view kFormTypeLine = "Content-Type: application/x-www-form-urlencoded\r\n";
constexpr std::size_t kReadChunk = 512;
constexpr std::size_t kMaxBody = std::size_t{64} << 20;
// Redirects are followed like a browser would, but a loop must end.
constexpr int kMaxRedirects = 20;

bool StartsWithHttp(std::string_view text) { return Find(Left(text, 7), "http://", 1, Case::Ignore) == 1; }

// The host-and-port part: after the scheme (if any), up to the first "/".
Text HostAndPort(const Text& address) {
  if (StartsWithHttp(address)) {
    int slash = Find(address, "/", 8);
    return slash == -1 ? address.substr(7) : address.substr(7, static_cast<std::size_t>(slash - 8));
  }
  int slash = Find(address, "/");
  return slash == -1 ? address : Left(address, slash - 1);
}

// The block as the request sends it: the caller's lines, then whichever of
// the default lines the caller did not give, then the form lines for a body.
Text BuildHeaderBlock(const Text& address, const Text& extraHeaders, const Text* formBody) {
  Text block = extraHeaders;
  if (Find(block, "Accept: ", 1, Case::Ignore) == -1) block += kDefaultAcceptLine;
  if (Find(block, "Referer: ", 1, Case::Ignore) == -1) block += "Referer: " + address + "\r\n";
  if (Find(block, "Accept-Language: ", 1, Case::Ignore) == -1) block += kLanguageLine;
  if (formBody != nullptr && !formBody->empty()) {
    block += kFormTypeLine;
    block += "Content-Length: " + std::to_string(formBody->size()) + "\r\n";
  }
  return block;
}

// One list entry per line of the block. The trailing "Name:" entries send
// nothing themselves; they stop libcurl from adding its own header of that
// name, so the request carries only the block's lines (a line of the block
// with that name still goes out).
curl_slist* HeaderList(const Text& block) {
  curl_slist* list = nullptr;
  std::size_t from = 0;
  while (from < block.size()) {
    std::size_t end = block.find("\r\n", from);
    if (end == Text::npos) end = block.size();
    if (end > from) list = curl_slist_append(list, block.substr(from, end - from).c_str());
    from = end + 2;
  }
  for (const char* own : {"Accept:", "Expect:", "Content-Type:", "Content-Length:", "Proxy-Connection:"})
    list = curl_slist_append(list, own);
  return list;
}

// The proxy list "http=" + proxy names the server for http addresses: the
// text up to the first blank or ";". Empty means a direct connection.
std::string ProxyServer(const Text* proxy) {
  if (proxy == nullptr) return {};
  Text server = Trim(*proxy);
  std::size_t end = server.find_first_of(" ;");
  if (end != Text::npos) server.resize(end);
  if (server.empty()) return {};
  if (StartsWithHttp(server)) server = server.substr(7);
  return "http://" + server;
}

// libcurl refuses blanks and control bytes in an address; they go out
// percent-encoded. Other bytes are left to libcurl.
std::string EscapeForCurl(std::string_view path) {
  std::string out;
  for (unsigned char c : path) {
    if (c <= 0x20 || c == 0x7F) {
      std::array<char, 4> hex{};
      std::snprintf(hex.data(), hex.size(), "%%%02X", c);
      out += hex.data();
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

struct Transfer {
  const HttpReaderOptions* options = nullptr;
  Bytes body;
  Text headers;
  bool tooLarge = false;
  // Stall detection starts once the connection stands (connecting has its own
  // limit) and is measured from the last moment a byte moved.
  bool requestStarted = false;
  std::array<curl_off_t, 4> counters{};
  std::chrono::steady_clock::time_point lastMove{};

  void StartHop() {
    body.clear();
    headers.clear();
    requestStarted = false;
    counters = {};
  }
};

std::size_t OnBody(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::size_t length = size * count;
  if (t->body.size() + length > kMaxBody) {
    t->tooLarge = true;
    return 0;  // aborts the transfer
  }
  // The body is taken in 512 bytes at a time, with the thread's window
  // messages dispatched before each piece.
  for (std::size_t at = 0; at < length; at += kReadChunk) {
    if (t->options->processEvents) t->options->processEvents();
    t->body.append(data + at, std::min(kReadChunk, length - at));
  }
  return length;
}

std::size_t OnHeader(char* data, std::size_t size, std::size_t count, void* user) {
  auto* t = static_cast<Transfer*>(user);
  std::string_view line(data, size * count);
  // Each status line starts a new response (an interim 100 Continue, or a
  // proxy's reply); only the last one's block is kept.
  if (line.starts_with("HTTP/")) t->headers.clear();
  t->headers.append(line);
  return size * count;
}

int OnRequestReady(void* user, char*, char*, int, int) {
  auto* t = static_cast<Transfer*>(user);
  t->requestStarted = true;
  t->lastMove = std::chrono::steady_clock::now();
  return CURL_PREREQFUNC_OK;
}

int OnProgress(void* user, curl_off_t dlTotal, curl_off_t dlNow, curl_off_t ulTotal, curl_off_t ulNow) {
  auto* t = static_cast<Transfer*>(user);
  if (!t->requestStarted || t->options->timeoutMs <= 0) return 0;
  auto now = std::chrono::steady_clock::now();
  std::array<curl_off_t, 4> counters{dlTotal, dlNow, ulTotal, ulNow};
  if (counters != t->counters) {
    t->counters = counters;
    t->lastMove = now;
    return 0;
  }
  return now - t->lastMove > std::chrono::milliseconds(t->options->timeoutMs) ? 1 : 0;
}

// An address under another scheme ("https://", "file:///", "javascript:",
// "mailto:") would be cut into a host named after the scheme and a port made
// of what follows its ":"; a remote configuration could point the reader at
// one. Such addresses are refused: an empty port followed by "//", or a port
// that does not start with a digit. "host:8080/x" and "host/x" pass.
bool NamesAnotherScheme(const Text& address) {
  if (StartsWithHttp(address)) return false;
  const Text hostAndPort = HostAndPort(address);
  int colon = Find(hostAndPort, ":");
  if (colon == -1) return false;
  std::string_view port = std::string_view(hostAndPort).substr(static_cast<std::size_t>(colon));
  if (port.empty()) return std::string_view(address).substr(hostAndPort.size()).starts_with("//");
  return port.front() < '0' || port.front() > '9';
}

bool IsRedirect(long status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

Text HostOfAddress(const Text& address) {
  Text host = HostAndPort(address);
  int colon = Find(host, ":");
  if (colon != -1) host = Left(host, colon - 1);
  return ToLower(host);
}

int PortOfAddress(const Text& address) {
  Text host = HostAndPort(address);
  int colon = Find(host, ":");
  if (colon == -1) return 80;
  return ToNumber(host.substr(static_cast<std::size_t>(colon)));
}

Text PathOfAddress(const Text& address) {
  // The host is looked for after the scheme: a host such as "t" or "http"
  // would otherwise be found inside "http://" and the path would begin at
  // its "//".
  int host = Find(address, HostOfAddress(address), StartsWithHttp(address) ? 8 : 1, Case::Ignore);
  int slash = Find(address, "/", host);
  if (host == -1 || slash == -1) return "/";
  return address.substr(static_cast<std::size_t>(slash - 1));
}

Bytes HttpReadBytes(const Text& address, const Text& method, const Text* proxy, const Text& extraHeaders,
                    const Text& postData, Text* responseHeaders, const HttpReaderOptions& options) {
  EnsureCurlReady();
  if (responseHeaders != nullptr) responseHeaders->clear();

  const Text host = HostOfAddress(address);
  int port = PortOfAddress(address);
  if (port == 0) port = 80;  // no usable port number: the service's default
  if (host.empty() || port < 0 || port > 65535 || NamesAnotherScheme(address)) {
    if (options.processEvents) options.processEvents();
    return {};
  }

  // Only "POST" (any case) is sent as such, and as the caller wrote it;
  // everything else becomes a GET.
  bool post = ToUpper(method) == "POST";
  const std::string verb = post ? method : "GET";

  CURL* curl = curl_easy_init();
  if (curl == nullptr) return {};
  Transfer transfer;
  transfer.options = &options;

  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http");
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, "http");
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_USERAGENT, kUserAgent);
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl, CURLOPT_HTTP_CONTENT_DECODING, 0L);  // the body exactly as it came
  // Empty proxy and no-proxy texts: the environment's proxy settings never apply.
  curl_easy_setopt(curl, CURLOPT_PROXY, ProxyServer(proxy).c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  if (options.timeoutMs > 0) curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, options.timeoutMs);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, OnRequestReady);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);

  // Redirects are followed here rather than by libcurl, which would keep the
  // form's header lines (and a verb like "post") on the GET that follows a
  // 301, 302 or 303.
  std::string url = "http://" + host + ":" + std::to_string(port) + EscapeForCurl(PathOfAddress(address));
  curl_slist* headerList = nullptr;
  for (int hop = 0;; ++hop) {
    curl_slist_free_all(headerList);
    headerList = HeaderList(BuildHeaderBlock(address, extraHeaders, post ? &postData : nullptr));
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headerList);
    if (post) {
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(postData.size()));
      curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postData.data());
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, verb == "POST" ? nullptr : verb.c_str());
    } else {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, nullptr);
    }

    transfer.StartHop();
    if (curl_easy_perform(curl) != CURLE_OK) break;

    long status = 0;
    char* location = nullptr;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &location);
    if (!IsRedirect(status) || location == nullptr || !StartsWithHttp(location) || hop == kMaxRedirects) break;
    url = location;
    if (status != 307 && status != 308) post = false;
  }
  curl_slist_free_all(headerList);
  curl_easy_cleanup(curl);

  // The reading loop's last turn: the read that finds the body at its end.
  if (options.processEvents) options.processEvents();
  if (responseHeaders != nullptr) *responseHeaders = transfer.headers;
  if (transfer.tooLarge) return {};
  return std::move(transfer.body);
}

}  // namespace kestrune
