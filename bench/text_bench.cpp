// SPDX-License-Identifier: MIT
#include <iconv.h>

#include <cstdint>
#include <string>

#include <benchmark/benchmark.h>

#include "web/codepage.h"
#include "web/text.h"

namespace {

using kestrune::Ansi;

// A ROM list page as the reader meets it: mostly ASCII markup, a Chinese
// caption here and there, the entries it looks for at the very end so that
// every search crosses the whole page. Deterministic; `bytes` is the UTF-8 size
// to reach.
std::string ListPageUtf8(std::size_t bytes) {
  std::string page =
      "<!DOCTYPE html>\r\n<html><head><meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">"
      "<title>ROM 下载</title></head>\r\n<body>\r\n";
  std::uint32_t seed = 2463534242u;
  auto next = [&seed] {
    seed ^= seed << 13;
    seed ^= seed >> 17;
    seed ^= seed << 5;
    return seed;
  };
  static const char* const kChinese[] = {"稳定版", "开发版", "卡刷包", "刷机教程", "小米手机", "下载",
                                         "更新日志", "官方"};
  const std::string tail =
      "<div class=\"rom-entry\"><h3>开发版 15.10.26</h3>\r\n<p>线刷包大小：1.2G <a "
      "href=\"http://bigota.d.miui.com/15.10.26/cancro_images_15.10.26_cn_abcdef0123.tgz\">下载</a></p>\r\n"
      "<p>卡刷包大小：800M <a href=\"http://bigota.d.miui.com/15.10.26/miui_MI4_15.10.26_0123abcd.zip\">下载</a>"
      "</p></div>\r\n</body></html>\r\n";
  while (page.size() + tail.size() < bytes) {
    const std::uint32_t r = next();
    page += "<li class=\"nav-item item-";
    page += std::to_string(r % 1000);
    page += "\"><a href=\"/forum.php?mod=viewthread&amp;tid=";
    page += std::to_string(r);
    page += "\" title=\"thread\">";
    if (r % 3 == 0) page += kChinese[(r >> 8) % 8];
    page += "</a></li>\r\n";
    if (r % 16 == 0) page += "<script type=\"text/javascript\">var x = { a: 1, b: [2, 3] };</script>\r\n";
  }
  page += tail;
  return page;
}

struct Page {
  std::string utf8;
  std::string ansi;
};

const Page& PageOf(std::size_t bytes) {
  static Page oneMb{ListPageUtf8(1 << 20), {}};
  static Page twoMb{ListPageUtf8(2 << 20), {}};
  Page& page = bytes == (1u << 20) ? oneMb : twoMb;
  if (page.ansi.empty()) page.ansi = kestrune::Utf8ToAnsi(page.utf8);
  return page;
}

void BM_TextBetween(benchmark::State& state) {
  const Page& page = PageOf(static_cast<std::size_t>(state.range(0)));
  const std::string left = Ansi("线刷包大小：");
  const std::string right = Ansi(" <a");
  for (auto _ : state) benchmark::DoNotOptimize(kestrune::TextBetween(page.ansi, left, right));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.ansi.size()));
}

void BM_RemoveTexts(benchmark::State& state) {
  const Page& page = PageOf(static_cast<std::size_t>(state.range(0)));
  const std::string wideSpace = Ansi("　");
  for (auto _ : state) {
    benchmark::DoNotOptimize(kestrune::RemoveTexts(page.ansi, " ", "\r\n", "</a>", wideSpace, "<li"));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.ansi.size()));
}

void BM_Find(benchmark::State& state) {
  const Page& page = PageOf(static_cast<std::size_t>(state.range(0)));
  const std::string needle = Ansi("卡刷包大小：");
  for (auto _ : state) benchmark::DoNotOptimize(kestrune::Find(page.ansi, needle));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.ansi.size()));
}

void BM_FindIgnoreCase(benchmark::State& state) {
  const Page& page = PageOf(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(kestrune::Find(page.ansi, "<DIV CLASS=", 1, kestrune::Case::Ignore));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.ansi.size()));
}

void BM_Utf8ToAnsi(benchmark::State& state) {
  const Page& page = PageOf(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(kestrune::Utf8ToAnsi(page.utf8));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.utf8.size()));
}

void BM_AnsiToUtf8(benchmark::State& state) {
  const Page& page = PageOf(static_cast<std::size_t>(state.range(0)));
  for (auto _ : state) benchmark::DoNotOptimize(kestrune::AnsiToUtf8(page.ansi));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * page.ansi.size()));
}

// Running Chinese text with no markup: the worst case for the ASCII fast
// path.
const std::string& ChineseTextUtf8() {
  static const std::string text = [] {
    static const char* const kWords[] = {"稳定版", "开发版", "线刷包大小", "卡刷包", "，", "小米手机"};
    std::string result;
    for (std::size_t i = 0; result.size() < (1u << 20); ++i) result += kWords[i % 6];
    return result;
  }();
  return text;
}

void BM_Utf8ToAnsiChineseText(benchmark::State& state) {
  const std::string& text = ChineseTextUtf8();
  for (auto _ : state) benchmark::DoNotOptimize(kestrune::Utf8ToAnsi(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

// The yardstick: glibc converting the same bytes into a fresh string, as
// Utf8ToAnsi does.
void IconvUtf8ToCp936(benchmark::State& state, const std::string& utf8) {
  iconv_t cd = iconv_open("CP936", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    state.SkipWithError("iconv has no CP936");
    return;
  }
  for (auto _ : state) {
    std::string out(utf8.size(), '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* target = out.data();
    std::size_t outLeft = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &inLeft, &target, &outLeft) == static_cast<std::size_t>(-1)) {
      state.SkipWithError("iconv failed");
      break;
    }
    out.resize(out.size() - outLeft);
    benchmark::DoNotOptimize(out);
  }
  iconv_close(cd);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * utf8.size()));
}

void BM_IconvUtf8ToCp936(benchmark::State& state) {
  IconvUtf8ToCp936(state, PageOf(static_cast<std::size_t>(state.range(0))).utf8);
}

void BM_IconvUtf8ToCp936ChineseText(benchmark::State& state) { IconvUtf8ToCp936(state, ChineseTextUtf8()); }

constexpr std::int64_t kOneMb = 1 << 20;
constexpr std::int64_t kTwoMb = 2 << 20;

BENCHMARK(BM_TextBetween)->Arg(kOneMb)->Arg(kTwoMb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RemoveTexts)->Arg(kOneMb)->Arg(kTwoMb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Find)->Arg(kOneMb)->Arg(kTwoMb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_FindIgnoreCase)->Arg(kOneMb)->Arg(kTwoMb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Utf8ToAnsi)->Arg(kOneMb)->Arg(kTwoMb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IconvUtf8ToCp936)->Arg(kOneMb)->Arg(kTwoMb)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Utf8ToAnsiChineseText)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IconvUtf8ToCp936ChineseText)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AnsiToUtf8)->Arg(kOneMb)->Arg(kTwoMb)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
