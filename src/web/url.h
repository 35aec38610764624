// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

#include "web/text.h"

// Address and cookie routines of the page fetcher. Built on the text
// operations and their rules; pure, any thread.

namespace kestrune {

// The host, lower-cased. domainOnly keeps the last two dot-separated labels;
// keepPort keeps ":port".
Text UrlHost(std::string_view address, bool domainOnly = false, bool keepPort = false);
// The port written after the host, else 443 for "https" addresses, else 80.
int UrlPort(std::string_view address);
// The path with any query, beginning with "/"; "/" when none.
Text UrlPath(std::string_view address);
// What follows the first ":" of a header line, trimmed; empty without ":".
Text HeaderValue(std::string_view line);
// Merges newCookies into cookies (new values replace old ones of the same
// name, "=deleted" items drop out). Both arguments are replaced: cookies by the
// merged text, newCookies by itself without spaces. Returns the merged text.
Text MergeCookies(Text& cookies, Text& newCookies);
Text CookieName(std::string_view item);
bool HasCookieName(const TextArray& items, std::string_view name);
Text RemoveDuplicateItems(std::string_view text, std::string_view separator);
// 1-based index of the first item equal to text, or -1.
int FindItem(const TextArray& items, std::string_view text);

}  // namespace kestrune
