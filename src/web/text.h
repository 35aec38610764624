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

// Search forward. start: omitted, 0, negative or 1 mean the first byte; a start
// beyond the last byte finds nothing. An empty needle is found at `start`
// clamped to 1 when the searched part is not empty.
int Find(std::string_view text, std::string_view needle, int start = 1, Case c = Case::Sensitive);
// Search backward: the position of the last occurrence at or after `start`.
int FindLast(std::string_view text, std::string_view needle, int start = 1, Case c = Case::Sensitive);

Text Left(std::string_view text, int n);
Text Right(std::string_view text, int n);
Text Mid(std::string_view text, int position, int n);

// Replace all, left to right, occurrences never overlap; case respected.
Text ReplaceAll(std::string_view text, std::string_view what, std::string_view with = {});
Text Trim(std::string_view text);
Text RemoveSpaces(std::string_view text);
Text ToLower(std::string_view text);
Text ToUpper(std::string_view text);
TextArray Split(std::string_view text, std::string_view separator);
int ToNumber(std::string_view text);
Bytes TextToBytes(std::string_view text);
Text BytesToText(std::string_view bytes);  // up to the first NUL

// The part of `source` between the first `left` (searched from `start`) and
// the first `right` after it; empty when either is missing. "#引号" in a
// marker stands for a double quote. Letter case is ignored unless
// `caseSensitive`.
Text TextBetween(std::string_view source, std::string_view left, std::string_view right, int start = 1,
                 bool caseSensitive = false);

// A copy of `source` with every occurrence of each non-empty text removed,
// text 1 first, then text 2, and so on.
Text RemoveTexts(std::string_view source, std::string_view t1, std::string_view t2 = {},
                 std::string_view t3 = {}, std::string_view t4 = {}, std::string_view t5 = {},
                 std::string_view t6 = {}, std::string_view t7 = {}, std::string_view t8 = {},
                 std::string_view t9 = {}, std::string_view t10 = {});

}  // namespace kestrune
