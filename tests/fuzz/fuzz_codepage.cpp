// SPDX-License-Identifier: MIT
// The conversions between UTF-8, UTF-16 and code page 936 on arbitrary bytes.
#include <cstdlib>

#include "fuzz/fuzz_input.h"
#include "web/codepage.h"

using namespace kestrune;

namespace {

// What comes out of AnsiToUtf8 goes to Qt and PCRE2: it must be valid UTF-8.
bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  Bytes utf16 = Utf8ToUtf16(bytes);
  if (utf16.size() % 2 != 0 || utf16.size() > 2 * bytes.size()) std::abort();
  Utf16ToAnsi(bytes);
  Text ansi = Utf8ToAnsi(bytes);
  Bytes ansiBytes = Utf8ToAnsiBytes(bytes);
  if (ansi != BytesToText(ansiBytes)) std::abort();
  if (!ValidUtf8(AnsiToUtf8(bytes))) std::abort();
  if (!ValidUtf8(AnsiToUtf8(ansiBytes))) std::abort();
  return 0;
}
