// SPDX-License-Identifier: MIT
#include "web/fetch.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include <curl/curl.h>

#include "web/codepage.h"
#include "web/curl_global.h"
#include "web/url.h"

namespace kestrune {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view kDefaultAgent =
    "Mozilla/4.0 (compatible; MSIE 9.0; Windows NT 6.1; QZ7WX; .NET CLR 2.0.50727; .NET CLR 3.0.04506.648; "
    ".NET CLR 3.5.21022)";
constexpr std::string_view kUtf8Marker = "charset=utf-8";
// The marker counts in the body only when it begins at one of these positions.
constexpr std::size_t kLastMarkerStart = 499;
constexpr std::string_view kMovedStatus = "301";
constexpr char kAllowedProtocols[] = "http,https";
// As large as the curl tool's own buffer, so that neither side of a
// comparison reads in smaller pieces.
constexpr long kReadBufferBytes = 100 * 1024;

// libcurl and the one cookie store of the process. Both live until the process
// ends: worker threads may still be fetching while the program exits.
struct CurlProcess {
  std::array<std::mutex, CURL_LOCK_DATA_LAST> locks;
  CURLSH* cookieStore = nullptr;
};

void LockShared(CURL*, curl_lock_data data, curl_lock_access, void* user) {
  static_cast<CurlProcess*>(user)->locks.at(static_cast<std::size_t>(data)).lock();
}

void UnlockShared(CURL*, curl_lock_data data, void* user) {
  static_cast<CurlProcess*>(user)->locks.at(static_cast<std::size_t>(data)).unlock();
}

CurlProcess& Process() {
  static std::once_flag once;
  static CurlProcess* process = nullptr;
  std::call_once(once, [] {
    EnsureCurlReady();
    process = new CurlProcess;
    process->cookieStore = curl_share_init();
    if (process->cookieStore != nullptr) {
      curl_share_setopt(process->cookieStore, CURLSHOPT_LOCKFUNC, LockShared);
      curl_share_setopt(process->cookieStore, CURLSHOPT_UNLOCKFUNC, UnlockShared);
      curl_share_setopt(process->cookieStore, CURLSHOPT_USERDATA, process);
      curl_share_setopt(process->cookieStore, CURLSHOPT_SHARE, CURL_LOCK_DATA_COOKIE);
    }
  });
  return *process;
}

struct EasyDeleter {
  void operator()(CURL* curl) const { curl_easy_cleanup(curl); }
};
struct ListDeleter {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// What one transfer collects, and the bounds it is held to.
struct Transfer {
  Transfer(const FetchLimits& bounds, Clock::time_point end) : limits(bounds), deadline(end) {}

  const FetchLimits& limits;
  Clock::time_point deadline;  // Clock::time_point::max() when the call has none
  CURL* curl = nullptr;
  Bytes body;
  Text headerBlock;
  bool headerBlockEnded = false;
  bool sizeChecked = false;
  bool tooLarge = false;
  curl_off_t lastDown = 0;
  curl_off_t lastUp = 0;
  Clock::time_point lastMove = Clock::now();
};

// Keeps the header block of the last answer only, as the automatic redirects
// and interim answers ("100 Continue") each start with a status line.
std::size_t OnHeaderLine(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  transfer.lastMove = Clock::now();
  std::string_view line(data, n);
  if (line.starts_with("HTTP/")) {
    transfer.headerBlock.clear();
    transfer.headerBlockEnded = false;
  } else if (transfer.headerBlockEnded) {
    return n;  // trailer of a chunked body: not part of the header block
  }
  if (line.ends_with('\n')) line.remove_suffix(1);
  if (line.ends_with('\r')) line.remove_suffix(1);
  if (transfer.headerBlock.size() + line.size() + 2 > transfer.limits.maxHeaderBytes) {
    transfer.tooLarge = true;
    return 0;
  }
  transfer.headerBlock.append(line).append("\r\n");
  if (line.empty()) transfer.headerBlockEnded = true;
  return n;
}

std::size_t OnBodyBytes(char* data, std::size_t size, std::size_t count, void* user) {
  auto& transfer = *static_cast<Transfer*>(user);
  const std::size_t n = size * count;
  const std::size_t limit = transfer.limits.maxBodyBytes;
  if (!transfer.sizeChecked) {
    transfer.sizeChecked = true;
    curl_off_t announced = -1;
    curl_easy_getinfo(transfer.curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &announced);
    if (announced > 0 && static_cast<std::size_t>(announced) > limit) {
      transfer.tooLarge = true;
      return 0;
    }
    if (announced > 0) transfer.body.reserve(static_cast<std::size_t>(announced));
  }
  if (n > limit - transfer.body.size()) {
    transfer.tooLarge = true;
    return 0;
  }
  transfer.body.append(data, n);
  transfer.lastMove = Clock::now();
  return n;
}

// An idle transfer ends after the stall timeout; a slow one that keeps moving
// bytes runs as long as it takes, unless the call has a deadline.
int OnProgress(void* user, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
  auto& transfer = *static_cast<Transfer*>(user);
  const auto now = Clock::now();
  if (now >= transfer.deadline) return 1;
  if (downloaded != transfer.lastDown || uploaded != transfer.lastUp) {
    transfer.lastDown = downloaded;
    transfer.lastUp = uploaded;
    transfer.lastMove = now;
    return 0;
  }
  return now - transfer.lastMove >= std::chrono::milliseconds(transfer.limits.stallTimeoutMs) ? 1 : 0;
}

bool IsAsciiLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

// True when the address starts with a scheme other than http or https
// ("file:", "ftp://", "javascript:"). "host:8080/x" has a port, not a scheme.
bool HasForeignScheme(std::string_view address) {
  if (address.empty() || !IsAsciiLetter(address.front())) return false;
  std::size_t colon = 1;
  while (colon < address.size() && (IsAsciiLetter(address[colon]) || IsAsciiDigit(address[colon]) ||
                                    address[colon] == '+' || address[colon] == '-' || address[colon] == '.')) {
    ++colon;
  }
  if (colon == address.size() || address[colon] != ':') return false;
  const Text scheme = ToLower(address.substr(0, colon));
  if (scheme == "http" || scheme == "https") return false;
  std::size_t end = colon + 1;
  while (end < address.size() && IsAsciiDigit(address[end])) ++end;
  const bool port = end > colon + 1 && (end == address.size() || address[end] == '/' || address[end] == '?');
  return !port;
}

// Besides foreign schemes, an address holding a line end or another control
// byte is refused: a "301" follow-up to a whole header block would otherwise
// be cut into a request to some unrelated host.
bool IsFetchable(std::string_view address) {
  const bool control = std::any_of(address.begin(), address.end(), [](char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7F;
  });
  return !control && !HasForeignScheme(address);
}

bool IsSecure(std::string_view address) { return ToLower(Left(address, 5)) == "https"; }

Text AgentOf(const Text& headerLines) {
  if (Find(headerLines, "User-Agent:", 1, Case::Ignore) < 0) return Text(kDefaultAgent);
  Text agent = Trim(TextBetween(headerLines, "User-Agent:", "\r\n"));
  if (agent.empty()) agent = HeaderValue(headerLines);
  // The fallback reads past the line when other lines follow; an agent is one
  // header value and never carries a line end.
  agent.resize(std::min(agent.size(), agent.find_first_of("\r\n")));
  return agent;
}

void CompleteHeaderLines(Text& lines, const Text& address, const Text* cookies) {
  if (Find(lines, "Referer:") < 0) {
    if (lines.empty()) {
      lines = "Referer: " + address;
    } else {
      lines += "\r\nReferer: " + address;
    }
  }
  if (Find(lines, "Accept:") < 0) lines += "\r\nAccept: */*";
  if (Find(lines, "Accept-Language:") < 0) lines += "\r\nAccept-Language: zh-cn";
  if (Find(lines, "Content-Type:") < 0) lines += "\r\nContent-Type: application/x-www-form-urlencoded";
  if (cookies != nullptr && !cookies->empty()) lines += "\r\nCookie: " + *cookies;
}

// The block goes out line by line as the caller wrote it. libcurl's quirk: a
// line "Name:" with no value is not sent but removes libcurl's own header of
// that name. The last lines use it to keep libcurl from adding headers of its
// own that the block does not ask for.
std::unique_ptr<curl_slist, ListDeleter> HeaderList(std::string_view block) {
  curl_slist* list = nullptr;
  const auto add = [&list](const std::string& line) {
    if (curl_slist* grown = curl_slist_append(list, line.c_str())) list = grown;
  };
  while (!block.empty()) {
    const std::size_t end = block.find("\r\n");
    const std::string_view line = block.substr(0, end);
    if (!line.empty()) add(std::string(line));
    block.remove_prefix(end == std::string_view::npos ? block.size() : end + 2);
  }
  add("Accept:");
  add("Content-Type:");
  add("Expect:");
  return std::unique_ptr<curl_slist, ListDeleter>(list);
}

// The cookie of one Set-Cookie line: up to its first ";", or up to the line
// end when no attribute follows it.
Text CookieOfLine(const Text& line) {
  Text cookie = TextBetween(line, "Set-Cookie:", ";");
  if (cookie.empty()) {
    constexpr int kNameLength = 11;  // "Set-Cookie:"
    const int name = Find(line, "Set-Cookie:", 1, Case::Ignore);
    if (name > 0 && Find(line, ";", name + kNameLength) < 0)
      cookie = Mid(line, name + kNameLength, static_cast<int>(line.size()));
  }
  return Trim(cookie);
}

bool DeclaresUtf8(std::string_view body, std::string_view headerBlock) {
  // A marker beginning at the last allowed position ends within this prefix.
  const std::string_view head = body.substr(0, kLastMarkerStart + kUtf8Marker.size() - 1);
  return Find(head, kUtf8Marker) > 0 || Find(headerBlock, kUtf8Marker) > 0;
}

struct Request {
  Text url;
  Text agent;
  bool secure = false;
};

// Performs one request and leaves the body and the header block of the final
// answer in `transfer`.
void Perform(Transfer& transfer, const Request& request, int method, const Bytes& post, const Text& headerBlock,
             bool useCookieStore, bool noRedirect, const Text* proxy) {
  std::unique_ptr<CURL, EasyDeleter> easy(curl_easy_init());
  if (!easy) return;
  CURL* curl = easy.get();
  transfer.curl = curl;
  const auto headers = HeaderList(headerBlock);
  const FetchLimits& limits = transfer.limits;

  curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(curl, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, request.agent.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, noRedirect ? 0L : 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, limits.maxAutomaticRedirects);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, limits.connectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReadBufferBytes);

  curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBodyBytes);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeaderLine);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &transfer);

  // The proxy list "http=host:port" serves http addresses only. An empty
  // proxy text also means direct; so does an empty CURLOPT_PROXY, which in
  // addition keeps the environment's proxy variables out.
  Text proxyUrl;
  if (proxy != nullptr && !proxy->empty() && !request.secure) proxyUrl = "http://" + *proxy;
  curl_easy_setopt(curl, CURLOPT_PROXY, proxyUrl.c_str());
  curl_easy_setopt(curl, CURLOPT_NOPROXY, "");
  // Through a proxy the request would otherwise gain "Proxy-Connection".
  const std::unique_ptr<curl_slist, ListDeleter> proxyHeaders(curl_slist_append(nullptr, "Proxy-Connection:"));
  curl_easy_setopt(curl, CURLOPT_PROXYHEADER, proxyHeaders.get());

  if (useCookieStore && Process().cookieStore != nullptr) {
    curl_easy_setopt(curl, CURLOPT_SHARE, Process().cookieStore);
    curl_easy_setopt(curl, CURLOPT_COOKIEFILE, "");
  }

  if (method == 1) {
    curl_easy_setopt(curl, CURLOPT_POST, 1L);
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post.data());
  } else if (method != 0 && !post.empty()) {
    curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(post.size()));
    curl_easy_setopt(curl, CURLOPT_POSTFIELDS, post.data());
    curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, "GET");
  }

  transfer.lastMove = Clock::now();
  curl_easy_perform(curl);  // failures show as what arrived before them
  transfer.curl = nullptr;
  if (transfer.tooLarge) {
    transfer.body.clear();
    transfer.headerBlock.clear();
  }
}

Bytes Fetch(const Text& address, int method, const Text& postText, Text* cookies, Text* newCookies, Text* headerLines,
            Text* redirectTarget, bool noRedirect, Bytes* postBytes, const Text* proxy, Text* responseHeaders,
            const FetchLimits& limits, Clock::time_point deadline, int movedFollowUps) {
  if (!IsFetchable(address) || Clock::now() >= deadline) return {};
  Request request;
  request.secure = IsSecure(address);
  int port = UrlPort(address);
  if (port <= 0) port = request.secure ? 443 : 80;  // an unreadable port means the default one
  if (port > 65535) return {};
  request.url =
      (request.secure ? "https://" : "http://") + UrlHost(address) + ":" + std::to_string(port) + UrlPath(address);

  Text ownHeaderLines;
  Text& lines = headerLines != nullptr ? *headerLines : ownHeaderLines;
  request.agent = AgentOf(lines);
  CompleteHeaderLines(lines, address, cookies);

  Bytes ownPostBytes;
  Bytes& post = postBytes != nullptr ? *postBytes : ownPostBytes;
  if (method != 0 && post.empty()) post = TextToBytes(postText);

  Transfer transfer(limits, deadline);
  Perform(transfer, request, method, post, lines, cookies == nullptr, noRedirect, proxy);
  Bytes body = std::move(transfer.body);
  const Text block = BytesToText(transfer.headerBlock);
  if (responseHeaders != nullptr) *responseHeaders = block;

  Text ownNewCookies;
  Text& fresh = newCookies != nullptr ? *newCookies : ownNewCookies;
  Text ownTarget;
  Text& target = redirectTarget != nullptr ? *redirectTarget : ownTarget;
  ScanResponseHeaders(block, fresh, target);
  if (cookies != nullptr) MergeCookies(*cookies, fresh);
  if (target.empty()) target = block;

  if (TextBetween(block, "HTTP/1.1 ", " Moved") == kMovedStatus && movedFollowUps < limits.maxMovedFollowUps) {
    const Text movedTo = target + UrlPath(address);
    target.clear();
    // The follow-up gets every argument as passed, so it leaves the cookie
    // store out and goes direct ("http=" alone) when the first call had no
    // proxy.
    Text noCookies;
    const Text noProxy;
    Text ownResponseHeaders;
    return Fetch(movedTo, method, postText, cookies != nullptr ? cookies : &noCookies, &fresh, &lines, &target,
                 noRedirect, &post, proxy != nullptr ? proxy : &noProxy,
                 responseHeaders != nullptr ? responseHeaders : &ownResponseHeaders, limits, deadline,
                 movedFollowUps + 1);
  }

  if (DeclaresUtf8(body, block)) body = Utf8ToAnsiBytes(body);
  return body;
}

}  // namespace

void ScanResponseHeaders(const Text& block, Text& newCookies, Text& redirectTarget) {
  newCookies.clear();
  for (const Text& line : Split(block, "\r\n")) {
    if (Find(line, "Location:") > 0) redirectTarget = HeaderValue(line);
    if (Find(line, "Set-Cookie") > 0) newCookies += CookieOfLine(line) + "; ";
  }
}

Bytes FetchPage(const Text& address, int method, const Text& postText, Text* cookies, Text* newCookies,
                Text* headerLines, Text* redirectTarget, bool noRedirect, Bytes* postBytes, const Text* proxy,
                Text* responseHeaders, const FetchLimits& limits) {
  Process();
  const Clock::time_point deadline = limits.wholeFetchTimeoutMs > 0
                                         ? Clock::now() + std::chrono::milliseconds(limits.wholeFetchTimeoutMs)
                                         : Clock::time_point::max();
  return Fetch(address, method, postText, cookies, newCookies, headerLines, redirectTarget, noRedirect, postBytes,
               proxy, responseHeaders, limits, deadline, 0);
}

Text FetchPageText(const Text& address, const FetchLimits& limits) {
  // Cut in place: a page may be megabytes, and BytesToText would copy it.
  Bytes page = FetchPage(address, 0, {}, nullptr, nullptr, nullptr, nullptr, false, nullptr, nullptr, nullptr, limits);
  if (const std::size_t nul = page.find('\0'); nul != Bytes::npos) page.resize(nul);
  return page;
}

}  // namespace kestrune
