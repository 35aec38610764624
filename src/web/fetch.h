// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>

#include "web/text.h"

// The page fetcher: one HTTP(S) request, the body as bytes, converted from
// UTF-8 to code page 936 when the page declares "charset=utf-8".
//
// Arguments that are "passed or not passed" are pointers: nullptr means not
// passed, a pointer to an empty text means passed and empty. In/out arguments
// come back changed (see each). Safe to call from several threads at once; the
// only state shared between calls is the process-wide cookie store.
//
// The request: the verb, the path of the address, HTTP/1.1, the caller's
// header lines completed in place by the lines the caller left out (in this
// order, each an exact, case-respecting search of the text as it stands):
// "Referer: " + address, "Accept: */*", "Accept-Language: zh-cn",
// "Content-Type: application/x-www-form-urlencoded", and "Cookie: " + cookies
// when the cookies are not empty. The agent is the value of the caller's
// User-Agent line (any letter case; the line itself is sent too), else the
// default agent. Besides these lines the request carries only Host and, with
// a body, Content-Length. A caller's line "Name:" with no value suppresses the
// header of that name instead of sending it empty.
//
// Cookies: when the caller does not pass `cookies`, the request takes part in
// the process-wide cookie store (it sends the stored cookies and stores those
// the answers set, also on redirects it follows itself). Passing `cookies`,
// even empty, keeps the store out of the request entirely.
//
// The answer: `responseHeaders` gets the raw header block of the final answer
// (status line and header lines, each ending "\r\n", then an empty line), of
// any length. The Set-Cookie and Location lines of that block fill
// `newCookies` and `redirectTarget`; when `cookies` is passed the new cookies
// are merged into it (MergeCookies). When `redirectTarget` is still empty it
// becomes the whole block. An answer "HTTP/1.1 301 ... Moved" is followed by a
// further FetchPage to the redirect target followed by the current path, with
// every argument passed on as it then stands (so the follow-up leaves the
// cookie store out and connects directly unless a proxy was passed); at most
// `limits.maxMovedFollowUps` such follow-ups in a row, after which the last
// answer is taken as it is. Finally, a body holding "charset=utf-8" (exact
// bytes) beginning at a byte position from 1 to 499, or a header block holding
// it anywhere, is converted with Utf8ToAnsiBytes.
//
// Failures are not reported: an address that cannot be fetched gives empty
// bytes; a transfer that breaks off gives what arrived before it; HTTP error
// statuses give their bodies like any other.
//
// Safety: only http and https are ever fetched, also through redirects; an
// address with any other scheme, or holding a control byte such as a line
// end, gives empty bytes without a request. Certificates are verified. An
// address counts as https when its first five bytes, lower-cased, are "https";
// its port is then 443 unless one is written.
//
// Proxy: when `proxy` is passed, http addresses go through the HTTP proxy
// named by its text ("host:port"); https addresses, and an empty proxy text,
// go direct. Without `proxy` every request goes direct, whatever the
// environment's proxy variables say.

namespace kestrune {

// Bounds that keep a dead or hostile server from holding a thread. The
// defaults are what the program uses; tests may pass shorter ones.
struct FetchLimits {
  long connectTimeoutMs = 15000;          // connection set-up, per connection
  long stallTimeoutMs = 30000;            // no byte moved in either direction
  long wholeFetchTimeoutMs = 0;           // the whole call, redirects and "301" follow-ups
                                          // included; <= 0: none, so a transfer that keeps
                                          // moving runs as long as it takes
  std::size_t maxBodyBytes = 64u << 20;   // a larger body counts as a failed read (empty)
  std::size_t maxHeaderBytes = 1u << 20;  // a larger header block counts as a failed read
  int maxMovedFollowUps = 10;             // successive "301" follow-ups
  long maxAutomaticRedirects = 20;        // redirects followed inside one request
};

Bytes FetchPage(const Text& address,
                int method = 0,                   // 1: POST; other non-zero values: GET with a body
                const Text& postText = {},        // body when postBytes is empty
                Text* cookies = nullptr,          // in/out: sent, then merged with the response's
                Text* newCookies = nullptr,       // out: the cookies the response set
                Text* headerLines = nullptr,      // in/out: comes back with the default lines appended
                Text* redirectTarget = nullptr,   // in/out: Location value, or the header block
                bool noRedirect = false,          // true: redirects are not followed automatically
                Bytes* postBytes = nullptr,       // in/out: filled from postText when empty
                const Text* proxy = nullptr,      // passed: proxy list "http=" + *proxy
                Text* responseHeaders = nullptr,  // out: raw header block of the final response
                const FetchLimits& limits = {});

// The scan of a response header block: newCookies becomes the "name=value; "
// items of its Set-Cookie lines, redirectTarget the value of its last
// Location line (left as it was when there is none).
void ScanResponseHeaders(const Text& block, Text& newCookies, Text& redirectTarget);

// FetchPage(address) with every option but the limits left out, its bytes up
// to the first NUL.
Text FetchPageText(const Text& address, const FetchLimits& limits = {});

}  // namespace kestrune
