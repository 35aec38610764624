// SPDX-License-Identifier: MIT
#include "web/codepage.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <mutex>
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

// The index of the first byte >= 0x80 at or after `i`, or `n`. Most of a page
// is ASCII, so this goes eight bytes at a time.
std::size_t SkipAscii(const unsigned char* in, std::size_t i, std::size_t n) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  for (; n - i >= 8; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, in + i, sizeof word);
    if ((word & kHighBits) != 0) break;
  }
  while (i < n && in[i] < 0x80) ++i;
  return i;
}

// ---------------------------------------------------------------------------
// UTF-8 -> UTF-16

// Decodes the character that begins at in[i] (i < n) and moves i past it.
// One U+FFFD stands for each maximal ill-formed subpart, and decoding resumes
// at the byte that broke the sequence, as Windows does.
inline char32_t DecodeOne(const unsigned char* in, std::size_t n, std::size_t& i) {
  const unsigned char b = in[i];
  if (b < 0x80) {
    ++i;
    return b;
  }
  // The common well-formed three-byte form (all of CJK) without the checks
  // that only E0 and ED need.
  if (b >= 0xE1 && b != 0xED && b <= 0xEF && n - i > 2 && (in[i + 1] & 0xC0) == 0x80 && (in[i + 2] & 0xC0) == 0x80) {
    const auto cp = static_cast<char32_t>(((b & 0x0F) << 12) | ((in[i + 1] & 0x3F) << 6) | (in[i + 2] & 0x3F));
    i += 3;
    return cp;
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
    ++i;
    return kReplacement;
  }
  ++i;
  for (std::size_t k = 0; k < needed; ++k) {
    if (i == n || in[i] < lower || in[i] > upper) return kReplacement;  // the breaking byte is decoded afresh
    cp = (cp << 6) | (in[i] & 0x3F);
    lower = 0x80;
    upper = 0xBF;
    ++i;
  }
  return cp;
}

// Decodes UTF-8 into `out`, which must have room for `n` units (a sequence
// never yields more units than it has bytes). Returns the number of units
// written.
std::size_t DecodeUtf8(const unsigned char* in, std::size_t n, char16_t* out) {
  char16_t* const begin = out;
  std::size_t i = 0;
  while (i < n) {
    // Most of a page is ASCII.
    while (i < n && in[i] < 0x80) *out++ = in[i++];
    if (i == n) break;
    const char32_t cp = DecodeOne(in, n, i);
    if (cp >= 0x10000) {
      *out++ = static_cast<char16_t>(U16_LEAD(cp));
      *out++ = static_cast<char16_t>(U16_TRAIL(cp));
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

// What the encoder writes for each code unit of the BMP outside the
// surrogates, and which of them are nonspacing marks, read from ICU 256 units
// at a time when a unit of the block is first met: a page meets a few dozen
// blocks, and asking ICU once per block instead of once per run of non-ASCII
// characters is what makes a page of markup with Chinese captions quick.
// Shared by all threads: a block is filled once under the lock and only read
// after it is marked ready.
class UnitTable {
 public:
  // The bytes for `unit` (not a surrogate): one byte when below 0x100, else
  // lead << 8 | trail. '?' where code page 936 has no mapping, as
  // QuestionMarkPerUnit writes.
  std::uint16_t Code(char16_t unit) { return Block(unit).codes[unit & 0xFF]; }

  // False only where the character is certainly no nonspacing mark: the
  // table knows the BMP, and leaves what lies beyond it to the caller.
  bool MayBeNonspacingMark(char32_t cp) {
    if (cp >= 0x10000 || U16_IS_SURROGATE(cp)) return true;
    const Entries& block = Block(static_cast<char16_t>(cp));
    return (block.marks[(cp & 0xFF) >> 6] >> (cp & 63) & 1) != 0;
  }

 private:
  struct Entries {
    std::array<std::uint16_t, 256> codes{};
    std::array<std::uint64_t, 4> marks{};
  };

  Entries& Block(char16_t unit) {
    const unsigned index = unit >> 8;
    if (!ready_[index].load(std::memory_order_acquire)) Fill(index);
    return blocks_[index];
  }

  void Fill(unsigned index) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (ready_[index].load(std::memory_order_relaxed)) return;
    Entries& block = blocks_[index];
    std::array<UChar, 256> units;
    for (unsigned i = 0; i < 256; ++i) {
      const auto unit = static_cast<char16_t>(index << 8 | i);
      units[i] = U16_IS_SURROGATE(unit) ? u'?' : unit;  // surrogates are never looked up
      // Without ICU data, at least ASCII and the length rules are kept.
      block.codes[i] = unit < 0x80 ? unit : '?';
      if (u_charType(unit) == U_NON_SPACING_MARK) block.marks[i >> 6] |= std::uint64_t{1} << (i & 63);
    }
    UErrorCode err = U_ZERO_ERROR;
    if (!converter_) {
      converter_.reset(ucnv_open(kCodePage936, &err));
      if (U_SUCCESS(err) && converter_) {
        ucnv_setFallback(converter_.get(), true);
        // Units without a mapping write nothing here; their '?' is already in
        // place.
        ucnv_setFromUCallBack(converter_.get(), UCNV_FROM_U_CALLBACK_SKIP, nullptr, nullptr, nullptr, &err);
      }
      if (U_FAILURE(err)) converter_.reset();
    }
    if (converter_) {
      // The offsets tie each byte written to its unit, so a unit that writes
      // nothing cannot shift the others.
      std::array<char, 512> bytes;
      std::array<int32_t, 512> offsets;
      const UChar* source = units.data();
      char* target = bytes.data();
      ucnv_resetFromUnicode(converter_.get());
      ucnv_fromUnicode(converter_.get(), &target, bytes.data() + bytes.size(), &source, units.data() + units.size(),
                       offsets.data(), true, &err);
      if (U_SUCCESS(err)) {
        const auto written = static_cast<std::size_t>(target - bytes.data());
        std::array<std::uint8_t, 256> count{};
        std::array<std::uint16_t, 256> code{};
        for (std::size_t k = 0; k < written; ++k) {
          const auto unit = static_cast<std::size_t>(offsets[k]);
          code[unit] = static_cast<std::uint16_t>(code[unit] << 8 | static_cast<unsigned char>(bytes[k]));
          ++count[unit];
        }
        for (unsigned i = 0; i < 256; ++i) block.codes[i] = (count[i] == 1 || count[i] == 2) ? code[i] : '?';
      }
    }
    ready_[index].store(true, std::memory_order_release);
  }

  std::mutex mutex_;
  ConverterPtr converter_;
  std::array<std::atomic<bool>, 256> ready_{};
  std::array<Entries, 256> blocks_;
};

UnitTable& Units() {
  static UnitTable table;
  return table;
}

// WC_COMPOSITECHECK joins a base character and the nonspacing marks after it
// into a precomposed character: only pairs with a canonical composition, and
// only when the code page can show the result (otherwise Windows converts the
// characters separately). Single characters are never changed: this is not
// full normalisation. The joined character, or -1 when `mark` stays apart.
UChar32 JoinedWithMark(char32_t base, char32_t mark) {
  if (u_charType(static_cast<UChar32>(mark)) != U_NON_SPACING_MARK) return -1;
  UErrorCode err = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&err);
  if (U_FAILURE(err) || !nfc) return -1;
  const UChar32 composed = unorm2_composePair(nfc, static_cast<UChar32>(base), static_cast<UChar32>(mark));
  return composed >= 0 && uset_contains(Mappable(), composed) ? composed : -1;
}

void ComposeInPlace(std::u16string& units) {
  UnitTable& table = Units();
  std::size_t write = 0;
  std::size_t i = 0;
  const std::size_t n = units.size();
  while (i < n) {
    char32_t cp;
    std::size_t next = i;
    U16_NEXT(units.data(), next, n, cp);
    while (next < n && table.MayBeNonspacingMark(units[next])) {
      char32_t mark;
      std::size_t after = next;
      U16_NEXT(units.data(), after, n, mark);
      const UChar32 joined = JoinedWithMark(cp, mark);
      if (joined < 0) break;
      cp = static_cast<char32_t>(joined);
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

// Appends the code-page-936 form of `units` (already composed) to `out`
// through ICU's converter.
void AppendEncodedByConverter(std::u16string_view units, std::string& out) {
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

// The same through the unit table, up to the first surrogate, which the
// converter takes with the rest: a pair is one character to it, and no
// character outside the BMP is ever split from its other half this way.
void AppendEncoded(std::u16string_view units, std::string& out) {
  UnitTable& table = Units();
  std::size_t written = out.size();
  out.resize(written + 2 * units.size());
  std::size_t i = 0;
  for (; i < units.size() && !U16_IS_SURROGATE(units[i]); ++i) {
    const std::uint16_t code = table.Code(units[i]);
    if (code >= 0x100) out[written++] = static_cast<char>(code >> 8);
    out[written++] = static_cast<char>(code & 0xFF);
  }
  out.resize(written);
  AppendEncodedByConverter(units.substr(i), out);
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

// UTF-8 -> 936 in one pass, character by character, without the UTF-16
// detour: the result is what Utf16ToAnsi(Utf8ToUtf16(...)) gives. ASCII maps to
// itself and is copied in runs; an ASCII character can only be touched by
// composition as the base of a mark that follows it, so the byte just before a
// non-ASCII one goes the slow way.
Bytes Utf8ToAnsiBytesImpl(std::string_view utf8) {
  const auto* in = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  UnitTable& table = Units();
  // No character comes out longer than it went in (the longest, a '?' pair for
  // a character outside the BMP, has four bytes in UTF-8); the capacity
  // checks guard against surprises all the same.
  Bytes out(n + 16, '\0');
  // Written through a plain pointer, so that the counters stay in registers.
  char* target = out.data();
  std::size_t capacity = out.size();
  std::size_t written = 0;
  auto grow = [&out](std::size_t bytes) {
    out.resize(2 * out.size() + bytes);
    return out.data();
  };
  std::size_t i = 0;
  while (i < n) {
    const std::size_t j = SkipAscii(in, i, n);
    const std::size_t copyEnd = (j < n && j > i) ? j - 1 : j;
    if (capacity - written < copyEnd - i) {
      target = grow(copyEnd - i);
      capacity = out.size();
    }
    std::memcpy(target + written, in + i, copyEnd - i);
    written += copyEnd - i;
    i = copyEnd;
    if (i == n) break;
    // The characters up to the next ASCII byte after a non-ASCII one, each
    // decoded once: the one after a character is decoded to see whether it
    // is a mark to join, and is the next character when it is not.
    std::size_t next = i;
    char32_t cp = DecodeOne(in, n, next);
    for (;;) {
      char32_t following = 0;
      std::size_t after = next;
      // A nonspacing mark is never ASCII.
      const bool more = next < n && in[next] >= 0x80;
      if (more) {
        following = DecodeOne(in, n, after);
        // Every nonspacing mark lies at U+0300 or above, and none among the
        // ideographs that make up most of a page that is not ASCII.
        if (following >= 0x300 && !(following >= 0x3400 && following <= 0x9FFF) &&
            table.MayBeNonspacingMark(following)) {
          const UChar32 joined = JoinedWithMark(cp, following);
          if (joined >= 0) {
            cp = static_cast<char32_t>(joined);
            next = after;
            continue;
          }
        }
      }
      if (cp < 0x10000) {
        if (capacity - written < 2) {
          target = grow(2);
          capacity = out.size();
        }
        const std::uint16_t code = table.Code(static_cast<char16_t>(cp));
        if (code >= 0x100) target[written++] = static_cast<char>(code >> 8);
        target[written++] = static_cast<char>(code & 0xFF);
      } else {
        const char16_t pair[] = {static_cast<char16_t>(U16_LEAD(cp)), static_cast<char16_t>(U16_TRAIL(cp))};
        std::string bytes;
        AppendEncodedByConverter(std::u16string_view(pair, 2), bytes);
        if (capacity - written < bytes.size()) {
          target = grow(bytes.size());
          capacity = out.size();
        }
        std::memcpy(target + written, bytes.data(), bytes.size());
        written += bytes.size();
      }
      i = next;
      if (!more) break;
      cp = following;
      next = after;
    }
  }
  out.resize(written);
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
    const std::size_t j = SkipAscii(in, i, n);
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
