// SPDX-License-Identifier: MIT
// The regex object with hostile patterns and subjects: it must neither crash
// nor hang, whatever the pattern.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "regex/regex_matcher.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto p = fuzz::Pieces(data, size, 3);
  RegexMatcher matcher;
  matcher.Create(p[0]);
  int count = matcher.Search(p[1]);
  if (count < 0 || count != matcher.GetMatchCount()) std::abort();
  const int groups = matcher.GetSubMatchCount();
  for (int i = 0; i <= count + 1 && i < 8; ++i) {
    matcher.GetMatchText(i);
    for (int j = 0; j <= groups + 1 && j < 8; ++j) matcher.GetSubMatchText(i, j);
  }
  RegexMatcher copy(matcher);
  if (copy.GetMatchCount() != count) std::abort();
  matcher.Replace(p[1], p[2]);
  matcher.Create(p[0], false, false, false);
  matcher.Search(p[1]);
  return 0;
}
