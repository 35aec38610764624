// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

#include "web/text.h"

// The simple HTTP reader of the background checks: plain http only, one
// request per call, the raw body bytes. Called on worker threads; calls on
// different threads share nothing.
//
// The request carries the request line (HTTP/1.1), Host, the User-Agent
// "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)", the header block and,
// for a POST, the body; nothing else. The header block is the extra headers
// followed by a default Accept line, a Referer line (the address as given) and
// "Accept-Language: zh-cn", each added only when the block does not already
// contain "Accept: ", "Referer: " or "Accept-Language: " (in any letter case),
// and, for a non-empty POST body, the form content type and its length in
// bytes. Redirects are followed (http only; a POST becomes a GET on 301, 302
// and 303); no cookies are kept.
//
// The result is the body of the final response as received, whatever its HTTP
// status. A failure to connect or send gives empty bytes; a transfer that
// breaks or stalls gives what arrived before. A body over 64 MiB gives empty
// bytes. An address under another scheme ("https://", "file:", "javascript:")
// is not read at all and gives empty bytes.

namespace kestrune {

struct HttpReaderOptions {
  // Connecting may take this long, and the transfer may stand still (no byte
  // sent or received) this long, before the request is given up. <= 0: no
  // limit of either kind.
  long timeoutMs = 18000;
  // Dispatches the calling thread's pending window messages. Called before
  // each 512-byte piece of the body is taken in, and once more after the last
  // (for an empty body: once). The window layer provides it (ProcessEvents).
  std::function<void()> processEvents;
};

Bytes HttpReadBytes(const Text& address,
                    const Text& method = {},         // "POST" in any case is sent as written; else "GET"
                    const Text* proxy = nullptr,     // passed (even empty): proxy list "http=" + *proxy
                    const Text& extraHeaders = {},   // lines each ending in "\r\n"
                    const Text& postData = {},
                    Text* responseHeaders = nullptr,  // the final response's status and header lines, whole
                    const HttpReaderOptions& options = {});

// The address is "http://" (any case) + host[:port] + path, or the same
// without the scheme.
Text HostOfAddress(const Text& address);  // lower-cased
int PortOfAddress(const Text& address);   // 80 when none
Text PathOfAddress(const Text& address);  // from the first "/" after the host, query included; "/" when none

}  // namespace kestrune
