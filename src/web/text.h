// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>
#include <vector>

// The basic text operations every other part builds on.
//
// A Text is a string of code-page-936 bytes: lengths and positions count
// bytes, positions start at 1, a failed search gives -1. An absent text and the
// empty text are the same value. A byte of 0x80 or above starts a two-byte
// character and the byte after it belongs to it: searches, replacements,
// splits and case changes step over such a pair as one unit, so a match never
// begins on a trail byte. Cutting by byte counts (Left/Right/Mid) does not look
// at characters. Only the space byte 0x20 and the full-width space A1 A1 are
// spaces.
//
// Every routine is pure and may run on any thread.

namespace kestrune {

using Text = std::string;       // code-page-936 bytes, no embedded NUL expected
using Bytes = std::string;      // a counted byte buffer, NUL bytes allowed
using TextArray = std::vector<Text>;  // element i (1-based) is at [i - 1]

enum class Case { Sensitive, Ignore };

// Search forward: the 1-based position of the first occurrence, or -1.
// start: omitted, 0, negative or 1 mean the first byte; a start beyond the
// last byte finds nothing. The byte at `start` is taken as the beginning of a
// character, and two-byte characters are stepped over from there. Case::Ignore
// lets A-Z and a-z match each other wherever they stand; every other byte must
// be equal. An empty needle is found at position 1 whenever the searched part
// (from `start` on) is not empty, whatever `start` is. Linear in the text.
int Find(std::string_view text, std::string_view needle, int start = 1, Case c = Case::Sensitive);
// Search backward: the position of the last occurrence that begins at or after
// `start` (the same part of the text as Find searches; occurrences may overlap
// the one before). The start, case and empty-needle rules are Find's, so an
// empty needle also gives 1.
int FindLast(std::string_view text, std::string_view needle, int start = 1, Case c = Case::Sensitive);

// The first / last n bytes; the whole text when shorter; empty for n <= 0.
Text Left(std::string_view text, int n);
Text Right(std::string_view text, int n);
// At most n bytes from `position`; empty when position < 1 or beyond the last
// byte, or n <= 0.
Text Mid(std::string_view text, int position, int n);

// Replace all, left to right, occurrences never overlap; case respected. The
// scan resumes right after each occurrence. An empty `what` or text gives an
// unchanged copy.
Text ReplaceAll(std::string_view text, std::string_view what, std::string_view with = {});
// Removes the spaces (20, A1 A1) at both ends.
Text Trim(std::string_view text);
// Removes every space (20, A1 A1).
Text RemoveSpaces(std::string_view text);
// A-Z <-> a-z on single-byte characters only; both bytes of a pair stay.
Text ToLower(std::string_view text);
Text ToUpper(std::string_view text);
// Every separator ends an item (so "a;;b" gives "a", "", "b" and ";a" gives
// "", "a"); what follows the last separator is an item only when not empty. An
// empty text gives no items; an empty separator gives the text as one item.
TextArray Split(std::string_view text, std::string_view separator);
// Full-width digits, signs and spaces (A3 xx, A1 A1) read as their half-width
// forms, then atoi: leading white space, a sign, digits; 0 when no number
// begins the text. Saturates at INT_MAX / INT_MIN instead of overflowing.
int ToNumber(std::string_view text);
Bytes TextToBytes(std::string_view text);
Text BytesToText(std::string_view bytes);  // up to the first NUL

// The part of `source` between the first `left` (searched from `start`) and
// the first `right` after it; empty when either is missing. The right marker
// is only looked for behind the end of the left one. "#引号" (in code page
// 936) in a marker stands for a double quote. Letter case is ignored unless
// `caseSensitive`. An empty left marker gives everything up to the first
// right marker (the empty-needle rule of Find); an empty right marker gives
// the empty text.
Text TextBetween(std::string_view source, std::string_view left, std::string_view right, int start = 1,
                 bool caseSensitive = false);

// A copy of `source` with every occurrence of each non-empty text removed,
// text 1 first, then text 2, and so on: a removal may join a new occurrence of
// a later text, which is then removed too; earlier texts are not looked for
// again. Linear in the source for each text.
Text RemoveTexts(std::string_view source, std::string_view t1, std::string_view t2 = {},
                 std::string_view t3 = {}, std::string_view t4 = {}, std::string_view t5 = {},
                 std::string_view t6 = {}, std::string_view t7 = {}, std::string_view t8 = {},
                 std::string_view t9 = {}, std::string_view t10 = {});
// RemoveTexts(source, t) done on `source` itself, for a page of some MB that
// would otherwise be copied for each text removed from it. `t` may point into
// `source`.
void RemoveTextsInPlace(Text& source, std::string_view t);

}  // namespace kestrune
