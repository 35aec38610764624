// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

#include "web/text.h"

// Conversions between UTF-8, UTF-16 and code page 936 that give what the
// Windows conversion functions give for code page 936, whatever the process
// locale. Empty input gives empty output; nothing is reported.
// Thread-safe: each thread keeps its own converter; the decoding tables are
// built once and only read afterwards.

namespace kestrune {

// UTF-8 -> UTF-16LE code units (two bytes each, no terminating zero), as
// MultiByteToWideChar(CP_UTF8, 0): one U+FFFD per maximal ill-formed subpart,
// decoding resuming at the byte that broke the sequence; a leading BOM is kept
// as U+FEFF; NUL is an ordinary character.
Bytes Utf8ToUtf16(std::string_view utf8);
// UTF-16LE -> code page 936, as WideCharToMultiByte(936, WC_COMPOSITECHECK):
// a base character and the nonspacing marks after it are joined into a
// precomposed character when one exists and the code page can show it (single
// characters are never normalised); Windows' best-fit mappings apply (² ->
// '2', À -> A8 A4); '?' stands for each code unit that has no mapping (two for
// a character outside the BMP, one for a lone surrogate) and nothing is
// dropped. An odd last byte is ignored. The text ends at the first NUL.
Text Utf16ToAnsi(std::string_view utf16le);
// Utf16ToAnsi(Utf8ToUtf16(utf8)), without the detour for ASCII.
Text Utf8ToAnsi(std::string_view utf8);
// As Utf8ToAnsi, but keeps NUL bytes (and what follows them).
Bytes Utf8ToAnsiBytes(std::string_view utf8);

// Code page 936 -> UTF-8 as MultiByteToWideChar(936, 0) decodes it: 0x80 ->
// U+20AC, 0xFF -> U+F8F5; a lead byte (81-FE) at the end or before 00 gives
// '?' and the next byte is decoded afresh; a lead byte before any other byte
// that cannot be a trail (01-3F, 7F, FF) gives one '?' for both. Used at the
// window boundary and for the regex engine.
std::string AnsiToUtf8(std::string_view ansi);

// The system's own texts are written once as UTF-8 literals in the source and
// turned into code-page-936 text through this (Utf8ToAnsi).
Text Ansi(std::string_view utf8Literal);

}  // namespace kestrune
