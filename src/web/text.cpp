// SPDX-License-Identifier: MIT
#include "web/text.h"

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define KESTRUNE_PAIR_FILTER 1
#endif

#include "web/codepage.h"

namespace kestrune {
namespace {

constexpr std::size_t kNotFound = std::string_view::npos;

bool IsLead(unsigned char b) { return b >= 0x80; }

unsigned char FoldAscii(unsigned char b) { return (b >= 'A' && b <= 'Z') ? static_cast<unsigned char>(b + 32) : b; }

int ToPosition(std::size_t index) {
  // Pages are a few MB; a text beyond INT_MAX bytes cannot be addressed by an
  // int position and is reported as "not found" rather than wrapped.
  return index >= static_cast<std::size_t>(INT_MAX) ? -1 : static_cast<int>(index) + 1;
}

// Start position (1-based, 0 or negative meaning the first byte) to an index.
std::size_t StartIndex(int start) { return start <= 1 ? 0 : static_cast<std::size_t>(start) - 1; }

// Tells whether a byte index is the first byte of a character, moving forward
// only. `known` is an index known to begin a character. The byte after any
// byte below 0x80 always begins a character (that byte is either a character
// of its own or the trail of a pair), and inside a run of bytes >= 0x80 the
// characters are pairs; so only the run of high bytes just before the index
// matters. Each byte is looked at a bounded number of times over a whole scan.
class CharBoundaries {
 public:
  CharBoundaries(std::string_view text, std::size_t known) : text_(text), known_(known) {}

  bool IsStart(std::size_t index) {
    std::size_t runStart = index;
    while (runStart > known_ && IsLead(static_cast<unsigned char>(text_[runStart - 1]))) --runStart;
    const bool start = (index - runStart) % 2 == 0;
    known_ = start ? index : index + 1;
    return start;
  }

  void Reset(std::size_t known) { known_ = known; }

 private:
  std::string_view text_;
  std::size_t known_;
};

// Byte-exact search for a needle of two bytes or more: the first occurrence at
// or after `from`, as memmem gives it. Pages are mostly entries cut from the
// same template, where memmem's two-way search keeps matching long stretches;
// testing the needle's first and last bytes at 16 or 32 positions at once and
// confirming the few positions where both stand is two to three times faster
// there.
// What confirming the wrong positions costs is bounded by a share of the bytes
// passed, beyond which the rest is left to memmem, which stays linear whatever
// the text.
class PairFilter {
 public:
  PairFilter(const unsigned char* text, std::size_t n, const unsigned char* needle, std::size_t m)
      : text_(text), n_(n), needle_(needle), m_(m), allowance_(8 * m + 4096) {}

  std::size_t Find(std::size_t from) {
#ifdef KESTRUNE_PAIR_FILTER
    if (!exhausted_ && n_ - from >= m_) return HasAvx2() ? FindAvx2(from) : FindSse2(from);
#endif
    return FindWithMemmem(from);
  }

 private:
#ifdef KESTRUNE_PAIR_FILTER
  static bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
  }

  // Called for each position where the first and last bytes stand. True when
  // the needle is there; false otherwise, with `exhausted_` set once the
  // wrong positions have cost more than allowed.
  bool Confirm(std::size_t at, std::size_t from) {
    // A wrong position usually differs early: compare a short head first, so
    // that it costs what it really costs.
    const std::size_t head = std::min<std::size_t>(m_, 32);
    std::size_t cost = head;
    if (std::memcmp(text_ + at, needle_, head) == 0) {
      if (m_ == head || std::memcmp(text_ + at + head, needle_ + head, m_ - head) == 0) return true;
      cost = m_;
    }
    spent_ += cost;
    if (spent_ > allowance_ + 4 * (at - from)) exhausted_ = true;
    return false;
  }

  // Positions beyond the last whole block, one by one.
  std::size_t FindTail(std::size_t at, std::size_t from) {
    const std::size_t last = n_ - m_;
    for (; at <= last; ++at) {
      if (text_[at] != needle_[0] || text_[at + m_ - 1] != needle_[m_ - 1]) continue;
      if (Confirm(at, from)) return at;
      if (exhausted_) return FindWithMemmem(at + 1);
    }
    return kNotFound;
  }

  // Goes through the positions marked in `mask` (bit k for at + k). True when
  // the search is settled: `result` is the needle's first occurrence, found
  // among them or, once too much was spent on them, by memmem from there on.
  bool Settle(unsigned mask, std::size_t at, std::size_t from, std::size_t& result) {
    for (; mask != 0; mask &= mask - 1) {
      const std::size_t candidate = at + static_cast<std::size_t>(__builtin_ctz(mask));
      if (Confirm(candidate, from)) {
        result = candidate;
        return true;
      }
      if (exhausted_) {
        result = FindWithMemmem(candidate + 1);
        return true;
      }
    }
    return false;
  }

  std::size_t FindSse2(std::size_t from) {
    const std::size_t last = n_ - m_;  // the last position the needle can start at
    const __m128i first = _mm_set1_epi8(static_cast<char>(needle_[0]));
    const __m128i final = _mm_set1_epi8(static_cast<char>(needle_[m_ - 1]));
    std::size_t at = from;
    // Both loads stay inside the text: at + 15 <= last and last + m - 1 < n.
    for (; at + 15 <= last; at += 16) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text_ + at));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text_ + at + m_ - 1));
      const auto mask =
          static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, final))));
      std::size_t result;
      if (mask != 0 && Settle(mask, at, from, result)) return result;
    }
    return FindTail(at, from);
  }

  __attribute__((target("avx2"))) std::size_t FindAvx2(std::size_t from) {
    const std::size_t last = n_ - m_;
    const __m256i first = _mm256_set1_epi8(static_cast<char>(needle_[0]));
    const __m256i final = _mm256_set1_epi8(static_cast<char>(needle_[m_ - 1]));
    std::size_t at = from;
    for (; at + 31 <= last; at += 32) {
      const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text_ + at));
      const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(text_ + at + m_ - 1));
      const auto mask = static_cast<unsigned>(
          _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, first), _mm256_cmpeq_epi8(b, final))));
      std::size_t result;
      if (mask != 0 && Settle(mask, at, from, result)) return result;
    }
    return FindTail(at, from);
  }
#endif

  std::size_t FindWithMemmem(std::size_t from) const {
    if (from >= n_ || n_ - from < m_) return kNotFound;
    const void* hit = ::memmem(text_ + from, n_ - from, needle_, m_);
    return hit == nullptr ? kNotFound : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - text_);
  }

  const unsigned char* text_;
  std::size_t n_;
  const unsigned char* needle_;
  std::size_t m_;
  std::size_t allowance_;
  std::size_t spent_ = 0;
  bool exhausted_ = false;
};

// Finds the occurrences of one needle that begin on a character, in linear time
// whatever the needle. A needle that matches byte for byte (case respected, or
// no ASCII letter in it) is looked for byte for byte (memchr, PairFilter), and
// each hit is checked to begin a character. Hits on trail bytes are rare in
// real text; when they pile up (a long needle over a run of pairs that keeps
// matching one byte off) the search goes on with Knuth-Morris-Pratt over
// (optionally ASCII-folded) bytes, whose memchr skips to the next possible
// first byte while nothing is matched. That scan also serves needles with
// letters whose case is ignored.
class Searcher {
 public:
  Searcher(std::string_view needle, Case c)
      : ignoreCase_(c == Case::Ignore), needle_(needle.size()), fail_(needle.size() + 1) {
    bool hasLetter = false;
    for (std::size_t i = 0; i < needle.size(); ++i) {
      const auto b = static_cast<unsigned char>(needle[i]);
      hasLetter = hasLetter || IsAsciiLetter(b);
      needle_[i] = Fold(b);
    }
    exact_ = !ignoreCase_ || !hasLetter;
    fail_[0] = 0;
    std::size_t k = 0;
    for (std::size_t i = 1; i < needle_.size(); ++i) {
      while (k > 0 && needle_[i] != needle_[k]) k = fail_[k];
      if (needle_[i] == needle_[k]) ++k;
      fail_[i + 1] = k;
    }
    if (!needle_.empty()) {
      first_ = needle_[0];
      firstOther_ = (ignoreCase_ && first_ >= 'a' && first_ <= 'z') ? static_cast<unsigned char>(first_ - 32) : first_;
    }
  }

  std::size_t size() const { return needle_.size(); }

  // Index of the first occurrence at or after `from` that begins a character,
  // `from` itself taken as the beginning of a character; kNotFound otherwise.
  // The needle must not be empty.
  std::size_t FindFrom(std::string_view text, std::size_t from) const {
    return exact_ ? FindExact(text, from) : FindByScan(text, from);
  }

  // Calls onMatch(index) for every occurrence (overlapping ones included) that
  // begins a character, in order, while it returns true.
  template <typename OnMatch>
  void Scan(std::string_view text, std::size_t from, OnMatch onMatch) const {
    const std::size_t m = needle_.size();
    const std::size_t n = text.size();
    if (m == 0 || from >= n || n - from < m) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    CharBoundaries boundaries(text, from);
    std::size_t matched = 0;
    std::size_t i = from;
    // Cached positions of the next first-byte candidates (both letter cases).
    std::size_t nextA = from, nextB = from;
    bool cachedA = false, cachedB = false;
    while (i < n) {
      if (matched == 0) {
        if (n - i < m) return;
        if (!cachedA || nextA < i) {
          const void* hit = std::memchr(bytes + i, first_, n - i);
          nextA = hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - bytes) : n;
          cachedA = true;
        }
        std::size_t next = nextA;
        if (firstOther_ != first_) {
          if (!cachedB || nextB < i) {
            const void* hit = std::memchr(bytes + i, firstOther_, n - i);
            nextB = hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - bytes) : n;
            cachedB = true;
          }
          if (nextB < next) next = nextB;
        }
        if (next >= n || n - next < m) return;
        i = next + 1;
        matched = 1;
      } else {
        const unsigned char b = Fold(bytes[i]);
        while (matched > 0 && b != needle_[matched]) matched = fail_[matched];
        if (b == needle_[matched]) ++matched;
        ++i;
      }
      if (matched == m) {
        const std::size_t start = i - m;
        if (boundaries.IsStart(start) && !onMatch(start)) return;
        matched = fail_[m];
      }
    }
  }

 private:
  static bool IsAsciiLetter(unsigned char b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; }

  unsigned char Fold(unsigned char b) const { return ignoreCase_ ? FoldAscii(b) : b; }

  std::size_t FindByScan(std::string_view text, std::size_t from) const {
    std::size_t result = kNotFound;
    Scan(text, from, [&](std::size_t index) {
      result = index;
      return false;
    });
    return result;
  }

  std::size_t FindExact(std::string_view text, std::size_t from) const {
    const std::size_t m = needle_.size();
    const std::size_t n = text.size();
    if (m == 0 || from >= n || n - from < m) return kNotFound;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    CharBoundaries boundaries(text, from);
    PairFilter pairs(bytes, n, needle_.data(), m);
    // The byte search forgets what it compared when a hit is refused; what
    // the refused hits cost is bounded by a share of the bytes passed, beyond
    // which the rest is left to the linear scan.
    constexpr std::size_t kRefusedAllowance = 4096;
    std::size_t refusedCost = 0;
    std::size_t at = from;
    while (n - at >= m) {
      std::size_t index;
      if (m == 1) {
        const void* hit = std::memchr(bytes + at, needle_[0], n - at);
        index = hit == nullptr ? kNotFound : static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - bytes);
      } else {
        index = pairs.Find(at);
      }
      if (index == kNotFound) return kNotFound;
      if (boundaries.IsStart(index)) return index;
      // A refused hit stands on a trail byte, so the byte after it begins a
      // character.
      at = index + 1;
      refusedCost += m;
      if (refusedCost > kRefusedAllowance + 2 * (at - from)) return FindByScan(text, at);
    }
    return kNotFound;
  }

  bool ignoreCase_;
  bool exact_ = true;
  std::vector<unsigned char> needle_;
  std::vector<std::size_t> fail_;
  unsigned char first_ = 0;
  unsigned char firstOther_ = 0;
};

// Non-overlapping occurrences, left to right, each search resuming after the
// previous occurrence; onMatch(index) for each. The needle must not be empty.
template <typename OnMatch>
void ForEachOccurrence(std::string_view text, const Searcher& searcher, OnMatch onMatch) {
  std::size_t from = 0;
  while (from < text.size()) {
    const std::size_t at = searcher.FindFrom(text, from);
    if (at == kNotFound) return;
    onMatch(at);
    from = at + searcher.size();
  }
}

Text ReplaceAllWith(std::string_view text, const Searcher& searcher, std::string_view with) {
  Text result;
  result.reserve(text.size());
  std::size_t copied = 0;
  ForEachOccurrence(text, searcher, [&](std::size_t at) {
    result.append(text.substr(copied, at - copied));
    result.append(with);
    copied = at + searcher.size();
  });
  result.append(text.substr(copied));
  return result;
}

// Removes every occurrence from `text` itself: what is kept moves down over
// what is removed. The search only reads bytes at or after the end of the
// last occurrence, which the moves never reach, so it sees the original
// bytes; and a page is copied once, not once per text.
void RemoveAllInPlace(Text& text, const Searcher& searcher) {
  std::size_t write = 0;
  std::size_t copied = 0;
  ForEachOccurrence(text, searcher, [&](std::size_t at) {
    if (write != copied) std::memmove(text.data() + write, text.data() + copied, at - copied);
    write += at - copied;
    copied = at + searcher.size();
  });
  if (copied == 0) return;
  if (write != copied) std::memmove(text.data() + write, text.data() + copied, text.size() - copied);
  text.resize(write + text.size() - copied);
}

// Length of the character at `index`: 2 for a pair (a lead byte with a byte
// after it), else 1.
std::size_t CharLength(std::string_view text, std::size_t index) {
  return (IsLead(static_cast<unsigned char>(text[index])) && index + 1 < text.size()) ? 2 : 1;
}

// Length of the space character at `index`, or 0 when none stands there.
std::size_t SpaceLength(std::string_view text, std::size_t index) {
  if (text[index] == ' ') return 1;
  if (static_cast<unsigned char>(text[index]) == 0xA1 && index + 1 < text.size() &&
      static_cast<unsigned char>(text[index + 1]) == 0xA1) {
    return 2;
  }
  return 0;
}

Text MapAsciiLetters(std::string_view text, char from, char to) {
  Text result(text);
  for (std::size_t i = 0; i < result.size();) {
    const char b = result[i];
    if (b >= from && b <= static_cast<char>(from + 25)) result[i] = static_cast<char>(b - from + to);
    i += CharLength(result, i);
  }
  return result;
}

}  // namespace

int Find(std::string_view text, std::string_view needle, int start, Case c) {
  const std::size_t from = StartIndex(start);
  if (from >= text.size()) return -1;
  if (needle.empty()) return 1;
  return ToPosition(Searcher(needle, c).FindFrom(text, from));
}

int FindLast(std::string_view text, std::string_view needle, int start, Case c) {
  const std::size_t from = StartIndex(start);
  if (from >= text.size()) return -1;
  if (needle.empty()) return 1;
  std::size_t last = kNotFound;
  Searcher(needle, c).Scan(text, from, [&](std::size_t index) {
    last = index;
    return true;
  });
  return ToPosition(last);
}

Text Left(std::string_view text, int n) {
  if (n <= 0) return {};
  return Text(text.substr(0, static_cast<std::size_t>(n)));
}

Text Right(std::string_view text, int n) {
  if (n <= 0) return {};
  const auto count = static_cast<std::size_t>(n);
  return count >= text.size() ? Text(text) : Text(text.substr(text.size() - count));
}

Text Mid(std::string_view text, int position, int n) {
  if (position < 1 || n <= 0 || static_cast<std::size_t>(position) > text.size()) return {};
  return Text(text.substr(static_cast<std::size_t>(position) - 1, static_cast<std::size_t>(n)));
}

Text ReplaceAll(std::string_view text, std::string_view what, std::string_view with) {
  if (what.empty() || text.empty()) return Text(text);
  return ReplaceAllWith(text, Searcher(what, Case::Sensitive), with);
}

Text Trim(std::string_view text) {
  // Walk characters from the front so that a trailing A1 A1 is only taken as
  // a space when it really is one character, not the trail of a pair plus a
  // lead byte.
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t space = SpaceLength(text, begin);
    if (space == 0) break;
    begin += space;
  }
  std::size_t end = begin;
  for (std::size_t i = begin; i < text.size();) {
    const std::size_t space = SpaceLength(text, i);
    const std::size_t length = space != 0 ? space : CharLength(text, i);
    i += length;
    if (space == 0) end = i;
  }
  return Text(text.substr(begin, end - begin));
}

Text RemoveSpaces(std::string_view text) {
  Text result;
  result.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t space = SpaceLength(text, i);
    if (space != 0) {
      i += space;
      continue;
    }
    const std::size_t length = CharLength(text, i);
    result.append(text.substr(i, length));
    i += length;
  }
  return result;
}

Text ToLower(std::string_view text) { return MapAsciiLetters(text, 'A', 'a'); }

Text ToUpper(std::string_view text) { return MapAsciiLetters(text, 'a', 'A'); }

TextArray Split(std::string_view text, std::string_view separator) {
  TextArray items;
  if (text.empty()) return items;
  if (separator.empty()) {
    items.emplace_back(text);
    return items;
  }
  const Searcher searcher(separator, Case::Sensitive);
  std::size_t itemStart = 0;
  ForEachOccurrence(text, searcher, [&](std::size_t at) {
    items.emplace_back(text.substr(itemStart, at - itemStart));
    itemStart = at + separator.size();
  });
  if (itemStart < text.size()) items.emplace_back(text.substr(itemStart));
  return items;
}

int ToNumber(std::string_view text) {
  // Full-width forms first: A3 A1..A3 FE are the full-width twins of 21..7E
  // and A1 A1 is the full-width space.
  Text half;
  half.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = CharLength(text, i);
    const auto lead = static_cast<unsigned char>(text[i]);
    const auto trail = length == 2 ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (length == 2 && lead == 0xA3 && trail >= 0xA1 && trail <= 0xFE) {
      half.push_back(static_cast<char>(trail - 0x80));
    } else if (length == 2 && lead == 0xA1 && trail == 0xA1) {
      half.push_back(' ');
    } else {
      half.append(text.substr(i, length));
    }
    i += length;
  }
  // atoi, saturating instead of overflowing.
  std::size_t i = 0;
  auto isSpace = [](char b) { return b == ' ' || (b >= '\t' && b <= '\r'); };
  while (i < half.size() && isSpace(half[i])) ++i;
  bool negative = false;
  if (i < half.size() && (half[i] == '+' || half[i] == '-')) negative = half[i++] == '-';
  long long value = 0;
  const long long limit = negative ? -static_cast<long long>(INT_MIN) : INT_MAX;
  for (; i < half.size() && half[i] >= '0' && half[i] <= '9'; ++i) {
    value = value * 10 + (half[i] - '0');
    if (value >= limit) {
      value = limit;
      break;
    }
  }
  return static_cast<int>(negative ? -value : value);
}

Bytes TextToBytes(std::string_view text) { return Bytes(text); }

Text BytesToText(std::string_view bytes) { return Text(bytes.substr(0, bytes.find('\0'))); }

Text TextBetween(std::string_view source, std::string_view left, std::string_view right, int start,
                 bool caseSensitive) {
  static const Text kQuoteMarker = Ansi("#引号");
  const Text leftMarker = ReplaceAll(left, kQuoteMarker, "\"");
  const Text rightMarker = ReplaceAll(right, kQuoteMarker, "\"");
  const Case c = caseSensitive ? Case::Sensitive : Case::Ignore;
  const int leftAt = Find(source, leftMarker, start, c);
  if (leftAt == -1) return {};
  const long long after = static_cast<long long>(leftAt) + static_cast<long long>(leftMarker.size());
  if (after > INT_MAX) return {};
  const int p = static_cast<int>(after);
  const int rightAt = Find(source, rightMarker, p, c);
  if (rightAt == -1) return {};
  return Mid(source, p, rightAt - p);
}

Text RemoveTexts(std::string_view source, std::string_view t1, std::string_view t2, std::string_view t3,
                 std::string_view t4, std::string_view t5, std::string_view t6, std::string_view t7,
                 std::string_view t8, std::string_view t9, std::string_view t10) {
  Text work(source);
  for (std::string_view what : {t1, t2, t3, t4, t5, t6, t7, t8, t9, t10}) {
    if (what.empty() || work.empty()) continue;
    RemoveAllInPlace(work, Searcher(what, Case::Sensitive));
  }
  return work;
}

void RemoveTextsInPlace(Text& source, std::string_view t) {
  if (t.empty() || source.empty()) return;
  // The searcher keeps its own copy of `t`, which may lie in the source.
  RemoveAllInPlace(source, Searcher(t, Case::Sensitive));
}

}  // namespace kestrune
