// SPDX-License-Identifier: MIT
// The text operations, TextBetween and RemoveTexts on arbitrary bytes.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "web/text.h"

using namespace kestrune;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto p = fuzz::Pieces(data, size, 4);
  const std::string& source = p[0];
  const int start = p[3].empty() ? 1 : static_cast<signed char>(p[3][0]);

  for (Case c : {Case::Sensitive, Case::Ignore}) {
    int at = Find(source, p[1], start, c);
    if (at > 0 && (at + static_cast<int>(p[1].size()) - 1 > static_cast<int>(source.size()))) std::abort();
    int last = FindLast(source, p[1], start, c);
    if ((at > 0) != (last > 0) || (at > 0 && last < at)) std::abort();
  }
  Text between = TextBetween(source, p[1], p[2], start, false);
  if (between.size() > source.size()) std::abort();
  if (!between.empty() && source.find(between) == std::string::npos) std::abort();
  TextBetween(source, p[1], p[2], start, true);

  Text removed = RemoveTexts(source, p[1], p[2]);
  if (removed.size() > source.size()) std::abort();
  Text replaced = ReplaceAll(source, p[1], p[2]);
  (void)replaced;
  TextArray items = Split(source, p[1]);
  std::size_t total = 0;
  for (const Text& item : items) total += item.size();
  if (total > source.size()) std::abort();

  Text trimmed = Trim(source);
  if (trimmed.size() > source.size()) std::abort();
  if (RemoveSpaces(source).size() > source.size()) std::abort();
  if (ToLower(source).size() != source.size() || ToUpper(source).size() != source.size()) std::abort();
  ToNumber(source);
  Left(source, start);
  Right(source, start);
  Mid(source, start, static_cast<int>(p[2].size()));
  BytesToText(source);
  return 0;
}
