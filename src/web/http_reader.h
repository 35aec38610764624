// SPDX-License-Identifier: MIT
#pragma once

#include <functional>

#include "web/text.h"

// The simple HTTP reader of the background checks: plain http only, one
// request per call, the raw body bytes. Called on worker threads.

namespace kestrune {

struct HttpReaderOptions {
  long timeoutMs = 18000;  // connect, receive and send, each
  // Dispatches the calling thread's pending window messages; called before
  // every 512-byte read. The window layer provides it (ProcessEvents).
  std::function<void()> processEvents;
};

Bytes HttpReadBytes(const Text& address,
                    const Text& method = {},         // "POST" in any case is sent as written; else "GET"
                    const Text* proxy = nullptr,     // passed (even empty): proxy list "http=" + *proxy
                    const Text& extraHeaders = {},   // lines each ending in "\r\n"
                    const Text& postData = {},
                    Text* responseHeaders = nullptr,
                    const HttpReaderOptions& options = {});

Text HostOfAddress(const Text& address);  // lower-cased
int PortOfAddress(const Text& address);   // 80 when none
Text PathOfAddress(const Text& address);  // "/" when none

}  // namespace kestrune
