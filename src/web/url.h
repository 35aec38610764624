// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

#include "web/text.h"

// Address and cookie routines of the page fetcher. Built on the text
// operations and their rules; pure, any thread.

namespace kestrune {

// The host, lower-cased: what stands between the scheme marker ("https://",
// else "http://", put in front when the address has none) and the next "/".
// An "http://" counts as the scheme only before the path, not inside a query.
// domainOnly keeps the last two dot-separated labels; keepPort keeps ":port".
// An address that cannot be cut gives what the rules give, e.g. an empty host.
Text UrlHost(std::string_view address, bool domainOnly = false, bool keepPort = false);
// The port written after the host, else 443 for "https" addresses, else 80.
int UrlPort(std::string_view address);
// The path with any query, letter case kept, from the first "/" after the
// host (the host is looked for behind the scheme, never inside it); "/" when
// none.
Text UrlPath(std::string_view address);
// What follows the first ":" of a header line, trimmed; empty without ":".
Text HeaderValue(std::string_view line);
// Merges newCookies into cookies (new values replace old ones of the same
// name, "=deleted" items drop out). Both arguments are replaced: cookies by the
// merged text, newCookies by itself without spaces. Returns the merged text.
// Items are separated by ";" on input and by "; " in the result; an old item
// is carried over only when no item of the growing new list has its name.
Text MergeCookies(Text& cookies, Text& newCookies);
// What stands before the first "=" (or the whole item), trimmed.
Text CookieName(std::string_view item);
// True when CookieName of some item equals name (bytes); false for no items.
bool HasCookieName(const TextArray& items, std::string_view name);
// The items of text (split at separator) with exact duplicates reduced to
// their first occurrence, joined by separator; empty for an empty text.
Text RemoveDuplicateItems(std::string_view text, std::string_view separator);
// 1-based index of the first item equal to text, or -1.
int FindItem(const TextArray& items, std::string_view text);

// Whether the address begins with "http://" or "https://" (any letter case)
// and has something after it.
bool HasWebScheme(std::string_view address);
// HasWebScheme, and no control byte anywhere: what may be opened in a browser
// or loaded by a browser control. A line break could smuggle a second line
// into whatever receives the address.
bool IsWebAddress(std::string_view address);

}  // namespace kestrune
