// SPDX-License-Identifier: MIT
#include "web/codepage.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>
#include <unicode/uchar.h>
#include <unicode/unorm2.h>
#include <unicode/uset.h>
#include <unicode/utf16.h>

namespace kestrune {
namespace {

// ICU's name for Microsoft's own table of code page 936 (0x80 <-> U+20AC,
// 0xFF -> U+F8F5, the private-use ranges), unlike plain "GBK".
constexpr const char* kCodePage936 = "windows-936-2000";
constexpr char16_t kReplacement = 0xFFFD;

// ---------------------------------------------------------------------------
// UTF-8 -> UTF-16

// Decodes UTF-8 into `out`, which must have room for `n` units (a sequence
// never yields more units than it has bytes). One U+FFFD replaces each maximal
// ill-formed subpart, and decoding resumes at the byte that broke the
// sequence, as Windows does. Returns the number of units written.
std::size_t DecodeUtf8(const unsigned char* in, std::size_t n, char16_t* out) {
  char16_t* const begin = out;
  std::size_t i = 0;
  while (i < n) {
    // Most of a page is ASCII.
    while (i < n && in[i] < 0x80) *out++ = in[i++];
    if (i == n) break;
    const unsigned char b = in[i];
    // The common well-formed three-byte form (all of CJK) without the checks
    // that only E0 and ED need.
    if (b >= 0xE1 && b != 0xED && b <= 0xEF && i + 2 < n && (in[i + 1] & 0xC0) == 0x80 &&
        (in[i + 2] & 0xC0) == 0x80) {
      *out++ = static_cast<char16_t>(((b & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6) | (in[i + 2] & 0x3F));
      i += 3;
      continue;
    }
    std::size_t needed;
    unsigned char lower = 0x80, upper = 0xBF;
    char32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      needed = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      needed = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lower = 0xA0;
      if (b == 0xED) upper = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      needed = 3;
      cp = b & 0x07;
      if (b == 0xF0) lower = 0x90;
      if (b == 0xF4) upper = 0x8F;
    } else {
      *out++ = kReplacement;
      ++i;
      continue;
    }
    ++i;
    bool complete = true;
    for (std::size_t k = 0; k < needed; ++k) {
      if (i == n || in[i] < lower || in[i] > upper) {
        complete = false;  // the breaking byte is decoded afresh
        break;
      }
      cp = (cp << 6) | (in[i] & 0x3F);
      lower = 0x80;
      upper = 0xBF;
      ++i;
    }
    if (!complete) {
      *out++ = kReplacement;
    } else if (cp >= 0x10000) {
      *out++ = static_cast<char16_t>(0xD7C0 + (cp >> 10));
      *out++ = static_cast<char16_t>(0xDC00 | (cp & 0x3FF));
    } else {
      *out++ = static_cast<char16_t>(cp);
    }
  }
  return static_cast<std::size_t>(out - begin);
}

// ---------------------------------------------------------------------------
// UTF-16 -> code page 936

struct ConverterCloser {
  void operator()(UConverter* converter) const { ucnv_close(converter); }
};
using ConverterPtr = std::unique_ptr<UConverter, ConverterCloser>;

// Windows writes its default character once per UTF-16 code unit that has no
// mapping (twice for a character outside the BMP) and drops nothing; ICU's own
// substitution writes one per code point and skips default-ignorables.
void QuestionMarkPerUnit(const void*, UConverterFromUnicodeArgs* args, const UChar*, int32_t length, UChar32,
                         UConverterCallbackReason reason, UErrorCode* err) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  static const char kMarks[] = "????????";
  *err = U_ZERO_ERROR;
  const int32_t count = length < 1 ? 1 : (length > 8 ? 8 : length);
  ucnv_cbFromUWriteBytes(args, kMarks, count, 0, err);
}

ConverterPtr OpenEncoder() {
  UErrorCode err = U_ZERO_ERROR;
  ConverterPtr converter(ucnv_open(kCodePage936, &err));
  if (U_FAILURE(err) || !converter) return nullptr;
  // Windows applies its best-fit table (² -> '2', À -> A8 A4); ICU calls these
  // fallbacks and leaves them off by default.
  ucnv_setFallback(converter.get(), true);
  ucnv_setFromUCallBack(converter.get(), QuestionMarkPerUnit, nullptr, nullptr, nullptr, &err);
  if (U_FAILURE(err)) return nullptr;
  return converter;
}

// ICU converters must not be shared between threads.
UConverter* Encoder() {
  thread_local ConverterPtr converter = OpenEncoder();
  return converter.get();
}

// The characters that code page 936 can show, fallbacks included; frozen, so
// any thread may read it.
const USet* Mappable() {
  static const USet* const set = [] {
    UErrorCode err = U_ZERO_ERROR;
    USet* result = uset_openEmpty();
    ConverterPtr converter(ucnv_open(kCodePage936, &err));
    if (U_SUCCESS(err) && converter) {
      ucnv_getUnicodeSet(converter.get(), result, UCNV_ROUNDTRIP_AND_FALLBACK_SET, &err);
    }
    uset_freeze(result);
    return result;
  }();
  return set;
}

// A quick filter before the property lookup: every nonspacing mark lies at
// U+0300 or above, and none among the ideographs, the Hangul syllables and the
// private-use and compatibility ideograph blocks that make up most of a page
// that is not ASCII.
bool MayBeNonspacingMark(char16_t unit) {
  return unit >= 0x300 && !(unit >= 0x3400 && unit <= 0x9FFF) && !(unit >= 0xAC00 && unit <= 0xD7FF) &&
         !(unit >= 0xE000 && unit <= 0xFAFF);
}

// Joins a base character and the nonspacing marks after it into a
// precomposed character, as WC_COMPOSITECHECK does: only pairs with a
// canonical composition, and only when the code page can show the result
// (otherwise Windows converts the characters separately). Single characters
// are never changed: this is not full normalisation.
void ComposeInPlace(std::u16string& units) {
  const UNormalizer2* nfc = nullptr;
  std::size_t write = 0;
  std::size_t i = 0;
  const std::size_t n = units.size();
  while (i < n) {
    char32_t cp;
    std::size_t next = i;
    U16_NEXT(units.data(), next, n, cp);
    while (next < n && MayBeNonspacingMark(units[next])) {
      char32_t mark;
      std::size_t after = next;
      U16_NEXT(units.data(), after, n, mark);
      if (u_charType(static_cast<UChar32>(mark)) != U_NON_SPACING_MARK) break;
      if (!nfc) {
        UErrorCode err = U_ZERO_ERROR;
        nfc = unorm2_getNFCInstance(&err);
        if (U_FAILURE(err)) nfc = nullptr;
        if (!nfc) break;
      }
      const UChar32 composed = unorm2_composePair(nfc, static_cast<UChar32>(cp), static_cast<UChar32>(mark));
      if (composed < 0 || !uset_contains(Mappable(), composed)) break;
      cp = static_cast<char32_t>(composed);
      next = after;
    }
    if (cp >= 0x10000) {
      units[write++] = static_cast<char16_t>(U16_LEAD(cp));
      units[write++] = static_cast<char16_t>(U16_TRAIL(cp));
    } else {
      units[write++] = static_cast<char16_t>(cp);
    }
    i = next;
  }
  units.resize(write);
}

// Appends the code-page-936 form of `units` (already composed) to `out`.
void AppendEncoded(std::u16string_view units, std::string& out) {
  if (units.empty()) return;
  UConverter* converter = Encoder();
  if (!converter) {
    // No ICU data: at least keep ASCII and the length rules.
    for (char16_t unit : units) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    return;
  }
  ucnv_resetFromUnicode(converter);
  const UChar* source = reinterpret_cast<const UChar*>(units.data());
  const UChar* const sourceLimit = source + units.size();
  std::size_t written = out.size();
  // At most two bytes per code unit; the loop only guards against surprises.
  out.resize(written + 2 * units.size() + 16);
  for (;;) {
    char* target = out.data() + written;
    char* const targetLimit = out.data() + out.size();
    UErrorCode err = U_ZERO_ERROR;
    ucnv_fromUnicode(converter, &target, targetLimit, &source, sourceLimit, nullptr, true, &err);
    written = static_cast<std::size_t>(target - out.data());
    if (err == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(out.size() + 2 * static_cast<std::size_t>(sourceLimit - source) + 16);
      continue;
    }
    break;
  }
  out.resize(written);
}

// Scratch space of one thread, reused between calls.
std::u16string& Scratch() {
  thread_local std::u16string buffer;
  return buffer;
}

void AppendUtf16AsAnsi(std::u16string& units, std::string& out) {
  ComposeInPlace(units);
  AppendEncoded(units, out);
}

// UTF-8 -> 936 without the UTF-16 detour for ASCII: ASCII maps to itself, and
// an ASCII character can only be touched by composition as the base of a mark
// that follows it, so the byte just before a non-ASCII run goes with the run.
Bytes Utf8ToAnsiBytesImpl(std::string_view utf8) {
  const auto* in = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  Bytes out;
  out.reserve(n);
  std::u16string& units = Scratch();
  std::size_t i = 0;
  while (i < n) {
    std::size_t j = i;
    while (j < n && in[j] < 0x80) ++j;
    if (j == n) {
      out.append(utf8.substr(i));
      break;
    }
    const std::size_t slowStart = j > i ? j - 1 : j;
    out.append(utf8.substr(i, slowStart - i));
    std::size_t k = j;
    while (k < n && in[k] >= 0x80) ++k;
    units.resize(k - slowStart);
    units.resize(DecodeUtf8(in + slowStart, k - slowStart, units.data()));
    AppendUtf16AsAnsi(units, out);
    i = k;
  }
  return out;
}

// ---------------------------------------------------------------------------
// 936 -> Unicode

// What MultiByteToWideChar(936) gives for each single byte and each
// lead/trail pair, read once from ICU's table. 0 marks "no mapping" (no pair
// maps to U+0000).
struct DecodeTable {
  std::array<char16_t, 256> single{};
  std::vector<char16_t> pairs;  // (lead - 0x81) * 256 + trail

  static bool IsTrail(unsigned b) { return (b >= 0x40 && b <= 0x7E) || (b >= 0x80 && b <= 0xFE); }

  DecodeTable() : pairs(126 * 256, 0) {
    for (unsigned b = 0; b < 0x80; ++b) single[b] = static_cast<char16_t>(b);
    UErrorCode err = U_ZERO_ERROR;
    ConverterPtr converter(ucnv_open(kCodePage936, &err));
    if (U_FAILURE(err) || !converter) return;
    const auto decodeOne = [&](const char* bytes, int32_t length) -> char16_t {
      UChar unit[4];
      UErrorCode e = U_ZERO_ERROR;
      ucnv_reset(converter.get());
      const int32_t count = ucnv_toUChars(converter.get(), unit, 4, bytes, length, &e);
      return (U_SUCCESS(e) && count == 1 && unit[0] != kReplacement) ? static_cast<char16_t>(unit[0]) : 0;
    };
    for (unsigned b : {0x80u, 0xFFu}) {
      const char byte = static_cast<char>(b);
      single[b] = decodeOne(&byte, 1);
    }
    // All pairs in one call; the offsets tie each unit to its pair, so an
    // unmapped pair cannot shift the others.
    std::string all;
    for (unsigned lead = 0x81; lead <= 0xFE; ++lead) {
      for (unsigned trail = 0x40; trail <= 0xFE; ++trail) {
        if (!IsTrail(trail)) continue;
        all.push_back(static_cast<char>(lead));
        all.push_back(static_cast<char>(trail));
      }
    }
    std::vector<UChar> units(all.size());
    std::vector<int32_t> offsets(all.size());
    UChar* target = units.data();
    const char* source = all.data();
    ucnv_reset(converter.get());
    ucnv_toUnicode(converter.get(), &target, units.data() + units.size(), &source, all.data() + all.size(),
                   offsets.data(), true, &err);
    if (U_FAILURE(err)) return;
    const std::size_t produced = static_cast<std::size_t>(target - units.data());
    for (std::size_t u = 0; u < produced; ++u) {
      const auto offset = static_cast<std::size_t>(offsets[u]);
      if (offset % 2 != 0 || offset + 1 >= all.size() || units[u] == kReplacement) continue;
      if (U16_IS_SURROGATE(units[u])) continue;
      const auto lead = static_cast<unsigned char>(all[offset]);
      const auto trail = static_cast<unsigned char>(all[offset + 1]);
      pairs[(lead - 0x81u) * 256u + trail] = static_cast<char16_t>(units[u]);
    }
  }
};

const DecodeTable& Table936() {
  static const DecodeTable table;
  return table;
}

void AppendUtf8(char16_t unit, std::string& out) {
  if (unit < 0x80) {
    out.push_back(static_cast<char>(unit));
  } else if (unit < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
    out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
    out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
  }
}

}  // namespace

Bytes Utf8ToUtf16(std::string_view utf8) {
  if (utf8.empty()) return {};
  std::u16string& units = Scratch();
  units.resize(utf8.size());
  units.resize(DecodeUtf8(reinterpret_cast<const unsigned char*>(utf8.data()), utf8.size(), units.data()));
  Bytes out(units.size() * 2, '\0');
  for (std::size_t i = 0; i < units.size(); ++i) {
    out[2 * i] = static_cast<char>(units[i] & 0xFF);
    out[2 * i + 1] = static_cast<char>(units[i] >> 8);
  }
  return out;
}

Text Utf16ToAnsi(std::string_view utf16le) {
  const std::size_t n = utf16le.size() / 2;
  if (n == 0) return {};
  std::u16string& units = Scratch();
  units.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    units[i] = static_cast<char16_t>(static_cast<unsigned char>(utf16le[2 * i]) |
                                     (static_cast<unsigned char>(utf16le[2 * i + 1]) << 8));
  }
  Text out;
  out.reserve(n);
  AppendUtf16AsAnsi(units, out);
  return BytesToText(out);
}

Text Utf8ToAnsi(std::string_view utf8) {
  // Nothing after a NUL can change what stands before it, and a NUL converts
  // to the one byte 00, where the text ends.
  return Utf8ToAnsiBytesImpl(utf8.substr(0, utf8.find('\0')));
}

Bytes Utf8ToAnsiBytes(std::string_view utf8) { return Utf8ToAnsiBytesImpl(utf8); }

std::string AnsiToUtf8(std::string_view ansi) {
  const DecodeTable& table = Table936();
  const auto* in = reinterpret_cast<const unsigned char*>(ansi.data());
  const std::size_t n = ansi.size();
  std::string out;
  out.reserve(n + n / 2);
  std::size_t i = 0;
  while (i < n) {
    std::size_t j = i;
    while (j < n && in[j] < 0x80) ++j;
    out.append(ansi.substr(i, j - i));
    i = j;
    if (i == n) break;
    const unsigned char b = in[i];
    if (b == 0x80 || b == 0xFF) {
      const char16_t unit = table.single[b];
      AppendUtf8(unit != 0 ? unit : u'?', out);
      ++i;
      continue;
    }
    // A lead byte: a lone one at the end, or one before 00, gives '?' alone
    // and the next byte is decoded afresh; before any other byte that cannot
    // be a trail, '?' stands for both bytes.
    if (i + 1 == n || in[i + 1] == 0) {
      out.push_back('?');
      ++i;
      continue;
    }
    const unsigned char trail = in[i + 1];
    const char16_t unit = DecodeTable::IsTrail(trail) ? table.pairs[(b - 0x81u) * 256u + trail] : char16_t{0};
    AppendUtf8(unit != 0 ? unit : u'?', out);
    i += 2;
  }
  return out;
}

Text Ansi(std::string_view utf8Literal) { return Utf8ToAnsi(utf8Literal); }

}  // namespace kestrune
