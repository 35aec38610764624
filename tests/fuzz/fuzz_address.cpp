// SPDX-License-Identifier: MIT
// The address routines of both readers, the header-line value and the cookie
// merge on arbitrary bytes.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "web/http_reader.h"
#include "web/text.h"
#include "web/url.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto p = fuzz::Pieces(data, size, 2);
  const Text& address = p[0];
  for (bool domainOnly : {false, true})
    for (bool keepPort : {false, true}) UrlHost(address, domainOnly, keepPort);
  UrlPort(address);
  Text path = UrlPath(address);
  if (path.empty() || path[0] != '/') std::abort();
  HeaderValue(address);
  HostOfAddress(address);
  PortOfAddress(address);
  if (PathOfAddress(address).empty()) std::abort();

  Text cookies = p[0];
  Text fresh = p[1];
  Text merged = MergeCookies(cookies, fresh);
  if (merged != cookies) std::abort();
  // A 0x20 that is the trail byte of a two-byte character is not a space.
  if (RemoveSpaces(fresh) != fresh) std::abort();
  RemoveDuplicateItems(p[0], p[1]);
  CookieName(p[1]);
  return 0;
}
