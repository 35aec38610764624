// SPDX-License-Identifier: MIT
#pragma once

#include <string_view>

#include "web/text.h"

// Conversions between UTF-8, UTF-16 and code page 936 that give what the
// Windows conversion functions give, whatever the process locale.
// Thread-safe; no state is kept between calls beyond cached converters.

namespace kestrune {

// UTF-8 -> UTF-16LE code units (two bytes each, no terminating zero). One
// U+FFFD per maximal ill-formed subpart; a leading BOM is kept; NUL is an
// ordinary character.
Bytes Utf8ToUtf16(std::string_view utf8);
// UTF-16LE -> code page 936 with composition first and Windows' best-fit
// mappings; '?' for each code unit that has no mapping. Stops at the first NUL.
Text Utf16ToAnsi(std::string_view utf16le);
Text Utf8ToAnsi(std::string_view utf8);
// As Utf8ToAnsi, but keeps NUL bytes.
Bytes Utf8ToAnsiBytes(std::string_view utf8);

// Code page 936 -> UTF-8 as MultiByteToWideChar(936) decodes it (lone or broken
// lead byte -> '?', 0xFF -> U+F8F5). Used at the window boundary and for the
// regex engine.
std::string AnsiToUtf8(std::string_view ansi);

// The system's own texts are written once as UTF-8 literals in the source and
// turned into code-page-936 text through this.
Text Ansi(std::string_view utf8Literal);

}  // namespace kestrune
