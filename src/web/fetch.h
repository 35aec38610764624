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

namespace kestrune {

// Bounds that keep a dead or hostile server from holding a thread. The
// defaults are what the program uses; tests may pass shorter ones.
struct FetchLimits {
  long connectTimeoutMs = 15000;      // connection set-up
  long stallTimeoutMs = 30000;        // no byte moved in either direction
  std::size_t maxBodyBytes = 64u << 20;  // a larger body counts as a failed read
  int maxMovedFollowUps = 10;         // successive "301" follow-ups
};

Bytes FetchPage(const Text& address,
                int method = 0,                      // 1: POST; other non-zero values: GET with a body
                const Text& postText = {},           // body when postBytes is empty
                Text* cookies = nullptr,             // in/out: sent, then merged with the response's
                Text* newCookies = nullptr,          // out: the cookies the response set
                Text* headerLines = nullptr,         // in/out: comes back with the default lines appended
                Text* redirectTarget = nullptr,      // in/out: Location value, or the header block
                bool noRedirect = false,
                Bytes* postBytes = nullptr,          // in/out: filled from postText when empty
                const Text* proxy = nullptr,         // passed: proxy list "http=" + *proxy
                Text* responseHeaders = nullptr,     // out: raw header block of the final response
                const FetchLimits& limits = {});

// FetchPage(address) with every option left out, its bytes up to the first NUL.
Text FetchPageText(const Text& address);

}  // namespace kestrune
