// SPDX-License-Identifier: MIT
#include "web/url.h"

#include <algorithm>
#include <unordered_set>

namespace kestrune {
namespace {

constexpr std::string_view kHttps = "https://";
constexpr std::string_view kHttp = "http://";

// The lower-cased address with "/" at its end and a scheme in front, and the
// scheme marker that the host follows.
struct SchemedAddress {
  Text text;
  std::string_view marker;
};

SchemedAddress WithScheme(std::string_view address) {
  SchemedAddress result{ToLower(address), kHttp};
  if (result.text.empty() || result.text.back() != '/') result.text.push_back('/');
  if (Left(result.text, 8) == kHttps) {
    result.marker = kHttps;
    return result;
  }
  // An "http://" counts as the scheme only where it stands before the path
  // (the first "/" of the text is the one inside it); one that merely appears
  // later, say in the query of an address written without a scheme, must not
  // be taken for the start of the host.
  const int http = Find(result.text, kHttp);
  if (http == -1 || Find(result.text, "/") != http + 5) result.text.insert(0, kHttp);
  return result;
}

// 1-based position of the first byte of the host in `address`, found as in
// WithScheme: after the scheme marker, or 1 when the address has none.
int HostStart(std::string_view address) {
  const Text lower = ToLower(address);
  if (Left(lower, 8) == kHttps) return 9;
  const int http = Find(lower, kHttp);
  if (http != -1 && Find(lower, "/") == http + 5) return http + static_cast<int>(kHttp.size());
  return 1;
}

}  // namespace

Text UrlHost(std::string_view address, bool domainOnly, bool keepPort) {
  const SchemedAddress schemed = WithScheme(address);
  Text host = TextBetween(schemed.text, schemed.marker, "/");
  if (domainOnly) {
    const TextArray labels = Split(host, ".");
    if (labels.size() > 1) host = labels[labels.size() - 2] + "." + labels.back();
  }
  if (keepPort) return host;
  const int colon = Find(host, ":");
  return colon == -1 ? host : Left(host, colon - 1);
}

int UrlPort(std::string_view address) {
  const Text host = UrlHost(address, false, true);
  const int colon = FindLast(host, ":");
  if (colon != -1) return ToNumber(Mid(host, colon + 1, static_cast<int>(host.size())));
  return Left(ToLower(address), 5) == "https" ? 443 : 80;
}

Text UrlPath(std::string_view address) {
  const Text host = UrlHost(address);
  // The host is looked for from where it begins, so that a host such as "t"
  // is not found inside the scheme "http://".
  const int hostAt = Find(address, host, HostStart(address), Case::Ignore);
  const int slash = Find(address, "/", hostAt);
  if (slash == -1) return "/";
  return Text(address.substr(static_cast<std::size_t>(slash) - 1));
}

Text HeaderValue(std::string_view line) {
  const int colon = Find(line, ":");
  if (colon == -1) return {};
  return Trim(line.substr(static_cast<std::size_t>(colon)));
}

Text MergeCookies(Text& cookies, Text& newCookies) {
  cookies = RemoveSpaces(cookies);
  newCookies = RemoveSpaces(newCookies);
  const TextArray oldItems = Split(cookies, ";");
  TextArray items = Split(newCookies, ";");
  // New values replace old ones of the same name; untouched old cookies
  // follow. An old item carried over counts from then on, so of two old items
  // with one name only the first is carried over.
  std::unordered_set<Text> names;
  for (const Text& item : items) names.insert(CookieName(item));
  for (const Text& item : oldItems) {
    if (names.insert(CookieName(item)).second) items.push_back(item);
  }
  static constexpr std::string_view kDeleted = "=deleted";
  Text merged;
  for (const Text& item : items) {
    if (Right(item, static_cast<int>(kDeleted.size())) == kDeleted) continue;
    merged += item;
    merged += "; ";
  }
  merged = Left(merged, static_cast<int>(merged.size()) - 2);
  cookies = RemoveDuplicateItems(merged, "; ");
  return cookies;
}

Text CookieName(std::string_view item) {
  const int equals = Find(item, "=");
  return Trim(equals == -1 ? item : item.substr(0, static_cast<std::size_t>(equals) - 1));
}

bool HasCookieName(const TextArray& items, std::string_view name) {
  for (const Text& item : items) {
    if (CookieName(item) == name) return true;
  }
  return false;
}

Text RemoveDuplicateItems(std::string_view text, std::string_view separator) {
  if (text.empty()) return {};
  // A set in place of FindItem over the kept items: same answer, linear.
  std::unordered_set<Text> kept;
  Text result;
  for (Text& item : Split(text, separator)) {
    if (kept.count(item) != 0) continue;
    result += item;
    result += separator;
    kept.insert(std::move(item));
  }
  result.resize(result.size() >= separator.size() ? result.size() - separator.size() : 0);
  return result;
}

int FindItem(const TextArray& items, std::string_view text) {
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i] == text) return static_cast<int>(i) + 1;
  }
  return -1;
}

bool HasWebScheme(std::string_view address) {
  for (std::string_view scheme : {std::string_view("http://"), std::string_view("https://")}) {
    if (address.size() > scheme.size() && ToLower(address.substr(0, scheme.size())) == scheme) return true;
  }
  return false;
}

bool IsWebAddress(std::string_view address) {
  return HasWebScheme(address) && std::none_of(address.begin(), address.end(), [](char c) {
           const auto b = static_cast<unsigned char>(c);
           return b < 0x20 || b == 0x7F;
         });
}

}  // namespace kestrune
