// SPDX-License-Identifier: MIT
#include "app/qt/download_offer.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "web/codepage.h"

namespace kestrune {
namespace {

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view s, std::string_view prefix) {
  if (s.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (Lower(s[i]) != Lower(prefix[i])) return false;
  return true;
}

std::string ToLowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = Lower(c);
  return out;
}

std::string_view TrimView(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

std::vector<std::string_view> Lines(std::string_view block) {
  std::vector<std::string_view> lines;
  while (!block.empty()) {
    const auto end = block.find('\n');
    lines.push_back(TrimView(block.substr(0, end)));
    if (end == std::string_view::npos) break;
    block.remove_prefix(end + 1);
  }
  return lines;
}

// The value of the last header line called `name` (a redirect chain may leave
// several blocks; the last line belongs to the final answer).
std::string_view HeaderField(std::string_view block, std::string_view name) {
  std::string_view value;
  for (std::string_view line : Lines(block)) {
    if (line.size() > name.size() && StartsWithNoCase(line, name) && line[name.size()] == ':')
      value = TrimView(line.substr(name.size() + 1));
  }
  return value;
}

int StatusCode(std::string_view block) {
  const auto lines = Lines(block);
  if (lines.empty() || !StartsWithNoCase(lines.front(), "HTTP/")) return 0;
  const auto space = lines.front().find(' ');
  if (space == std::string_view::npos) return 0;
  int code = 0;
  for (std::size_t i = space + 1; i < lines.front().size() && lines.front()[i] >= '0' && lines.front()[i] <= '9'; ++i)
    code = code * 10 + (lines.front()[i] - '0');
  return code;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::string PercentDecode(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 && HexValue(s[i + 2]) >= 0) {
      out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
      i += 2;
    } else {
      out += s[i];
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t extra;
    if (b < 0x80)
      extra = 0;
    else if (b >= 0xC2 && b <= 0xDF)
      extra = 1;
    else if (b >= 0xE0 && b <= 0xEF)
      extra = 2;
    else if (b >= 0xF0 && b <= 0xF4)
      extra = 3;
    else
      return false;
    if (i + extra >= s.size() && extra > 0) return false;
    for (std::size_t k = 1; k <= extra; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if (c < 0x80 || c > 0xBF) return false;
    }
    i += extra + 1;
  }
  return true;
}

// The value of parameter `name` in a Content-Disposition value, unquoted.
std::string DispositionParameter(std::string_view value, std::string_view name) {
  std::size_t i = 0;
  while (i < value.size()) {
    const auto semi = value.find(';', i);
    if (semi == std::string_view::npos) break;
    std::string_view rest = TrimView(value.substr(semi + 1));
    i = semi + 1;
    if (!StartsWithNoCase(rest, name)) continue;
    std::string_view after = TrimView(rest.substr(name.size()));
    if (after.empty() || after.front() != '=') continue;
    after = TrimView(after.substr(1));
    std::string out;
    if (!after.empty() && after.front() == '"') {
      for (std::size_t k = 1; k < after.size() && after[k] != '"'; ++k) {
        if (after[k] == '\\' && k + 1 < after.size()) ++k;
        out += after[k];
      }
    } else {
      out = std::string(TrimView(after.substr(0, after.find(';'))));
    }
    return out;
  }
  return {};
}

std::string Sanitise(std::string name) {
  const auto slash = name.find_last_of("/\\");
  if (slash != std::string::npos) name.erase(0, slash + 1);
  std::string out;
  for (char c : name)
    if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7F) out += c;
  while (!out.empty() && (out.front() == '.' || out.front() == ' ')) out.erase(0, 1);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  // Long names are cut at a character boundary; file systems take 255 bytes.
  if (out.size() > 200) {
    std::size_t cut = 200;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;
    out.resize(cut);
  }
  return out.empty() ? std::string("download") : out;
}

}  // namespace

bool IsDownloadAnswer(std::string_view responseHeaders) {
  const int status = StatusCode(responseHeaders);
  if (status < 200 || status > 299) return false;
  if (StartsWithNoCase(HeaderField(responseHeaders, "Content-Disposition"), "attachment")) return true;
  const std::string type = ToLowerAscii(HeaderField(responseHeaders, "Content-Type"));
  const std::string mime = std::string(TrimView(type.substr(0, type.find(';'))));
  if (mime.empty()) return false;
  if (mime.rfind("text/", 0) == 0 || mime.rfind("image/", 0) == 0) return false;
  for (const char* shown : {"application/xhtml+xml", "application/xml", "application/json", "application/javascript",
                            "application/x-javascript", "application/ecmascript"})
    if (mime == shown) return false;
  if (mime.size() > 4 && mime.compare(mime.size() - 4, 4, "+xml") == 0) return false;
  return true;
}

std::string DownloadFileName(std::string_view responseHeaders, const Text& address) {
  const std::string_view disposition = HeaderField(responseHeaders, "Content-Disposition");
  std::string name;
  const std::string extended = DispositionParameter(disposition, "filename*");
  if (StartsWithNoCase(extended, "utf-8'")) {
    const auto quote = extended.find('\'', 6);
    if (quote != std::string::npos) name = PercentDecode(std::string_view(extended).substr(quote + 1));
  }
  if (name.empty()) name = DispositionParameter(disposition, "filename");
  if (name.empty()) {
    std::string_view path = address;
    path = path.substr(0, path.find_first_of("?#"));
    const auto scheme = path.find("://");
    if (scheme != std::string_view::npos) {
      path.remove_prefix(scheme + 3);
      const auto slash = path.find('/');
      path = slash == std::string_view::npos ? std::string_view() : path.substr(slash);
    }
    const auto last = path.find_last_of('/');
    name = PercentDecode(last == std::string_view::npos ? path : path.substr(last + 1));
  }
  if (!IsValidUtf8(name)) name = AnsiToUtf8(name);
  return Sanitise(std::move(name));
}

std::string SaveNewFile(const std::string& folder, const std::string& name, std::string_view bytes) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::create_directories(folder, ec);
  const fs::path wanted(name);
  const std::string stem = wanted.stem().string();
  const std::string extension = wanted.extension().string();
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const std::string candidate = attempt == 0 ? name : stem + " (" + std::to_string(attempt) + ")" + extension;
    const fs::path path = fs::path(folder) / candidate;
    // "x": fails when the file exists, so nothing present is ever replaced.
    std::FILE* file = std::fopen(path.c_str(), "wbx");
    if (file == nullptr) {
      if (errno == EEXIST) continue;
      return {};
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    const bool closed = std::fclose(file) == 0;
    if (written && closed) return path.string();
    fs::remove(path, ec);
    return {};
  }
  return {};
}

}  // namespace kestrune
