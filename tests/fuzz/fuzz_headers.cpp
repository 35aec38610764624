// SPDX-License-Identifier: MIT
// The page fetcher's scan of a response header block.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "web/fetch.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto p = fuzz::Pieces(data, size, 2);
  Text fresh;
  Text target = p[1];
  ScanResponseHeaders(p[0], fresh, target);
  if (fresh.size() > 2 * p[0].size() + 2) std::abort();
  return 0;
}
