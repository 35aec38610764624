// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <string_view>

#include "web/text.h"

// How the web browser control tells a page from a file to download, and
// where such a file goes. Pure routines, any thread; no Qt.

namespace kestrune {

// From the raw response header block of the final answer ("HTTP/1.1 200 OK\r\n"
// and header lines). An answer is a download when it succeeded (2xx) and
// either carries Content-Disposition "attachment" or a content type that a
// browser does not display (anything but text/*, XML, JSON, JavaScript and
// images). No Content-Type at all counts as a page, as a browser sniffs it.
bool IsDownloadAnswer(std::string_view responseHeaders);

// The file name to save under, UTF-8: the Content-Disposition filename*
// (RFC 5987, UTF-8) or filename parameter, else the last path segment of the
// address, percent-decoded. A name that is not UTF-8 is taken as code page
// 936. Path separators, control characters and leading dots are dropped; an
// empty result is "download".
std::string DownloadFileName(std::string_view responseHeaders, const Text& address);

// Writes `bytes` to a new file `name` in `folder` (created when missing),
// never over an existing file: "name (1).ext", "name (2).ext" ... are tried.
// Returns the path written, or "" when nothing could be written.
std::string SaveNewFile(const std::string& folder, const std::string& name, std::string_view bytes);

}  // namespace kestrune
