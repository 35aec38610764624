// SPDX-License-Identifier: MIT
// What reading a list page costs beyond fetching it: a 2 MB list page served
// on loopback, fetched alone (FetchPageText) and read whole (ReadListPage:
// fetch, conversion when needed, the entry cutter, disabling, blank removal)
// on the in-memory toolkit. Three forms of the page: code page 936, UTF-8
// that says so (the fetcher converts it) and UTF-8 that does not (the reader
// converts it). BM_ReadOverFetch fetches and reads the same page in turn in
// every iteration, so that both see the same load on the machine, and reports
// what the read adds to the fetch; BM_Fetch and BM_Read give each alone.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "app/context.h"
#include "app/main_window.h"
#include "app/names.h"
#include "app/shared_state.h"
#include "catalogue/catalogue.h"
#include "support/loopback_server.h"
#include "support/memory_toolkit.h"
#include "web/codepage.h"
#include "web/fetch.h"
#include "web/text.h"

namespace {

using namespace kestrune;

constexpr std::size_t kPageBytes = 2u << 20;

// A list page in UTF-8: a head, then entries as the site writes them until
// the page, as the reader will hold it, has 2 MB.
std::string Utf8Page(bool declared, bool sizedInCp936) {
  std::string page = "<!DOCTYPE html>\r\n<html>\r\n<head>\r\n";
  if (declared) page += "<meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">\r\n";
  page += "<title>ROM下载</title>\r\n</head>\r\n<body>\r\n<ul class=\"rom-list\">\r\n";
  auto size = [&] { return sizedInCp936 ? Ansi(page).size() : page.size(); };
  for (int i = 0; size() < kPageBytes;) {
    for (int chunk = 0; chunk < 100; ++chunk, ++i) {
      std::string v = "5." + std::to_string(i / 100) + "." + std::to_string(i % 100);
      page += "<li><em>MIUI 7 " + v + " 开发版 线刷包大小：1.2 GB     卡刷包大小：620 MB</em>\r\n" +
              "<div><a href=\"http://127.0.0.1/" + v + "/images_" + v +
              ".tgz\"><img alt=\"线刷包\" src=\"/f.png\"></a>" + "&nbsp;<a href=\"http://127.0.0.1/" + v + "/miui_" +
              v + ".zip\"><img alt=\"卡刷包\" src=\"/r.png\"></a></div>\r\n" +
              "<span>更新日志：修复了若干问题，优化了系统流畅度与续航表现。</span></li>\r\n";
    }
  }
  return page + "</ul>\r\n</body>\r\n</html>\r\n";
}

struct Site {
  Site() {
    server.Page("/list-169-1-18-21-1-1", Ansi(Utf8Page(false, true)));
    server.Page("/list-169-1-18-21-1-2", Utf8Page(true, true));
    server.Page("/list-169-1-17-7-1-1", Utf8Page(false, false));
    server.Start();
  }
  test::LoopbackServer server;
};

Site& TheSite() {
  static Site site;
  return site;
}

const char* PathOf(int form) {
  switch (form) {
    case 0:
      return "/list-169-1-18-21-1-1";  // code page 936
    case 1:
      return "/list-169-1-18-21-1-2";  // UTF-8, declared
    default:
      return "/list-169-1-17-7-1-1";  // UTF-8, undeclared
  }
}

void SetFormLabel(benchmark::State& state) {
  static const char* kForms[] = {"cp936", "utf8_declared", "utf8_undeclared"};
  state.SetLabel(kForms[state.range(0)]);
}

void BM_Fetch(benchmark::State& state) {
  const Text url = TheSite().server.Url(PathOf(static_cast<int>(state.range(0))));
  std::size_t bytes = 0;
  for (auto _ : state) {
    Text page = FetchPageText(url);
    bytes = page.size();
    benchmark::DoNotOptimize(page);
  }
  state.counters["page_bytes"] = static_cast<double>(bytes);
  SetFormLabel(state);
}

// The main window in memory, with the list page of `form` picked.
AppContext ReaderContext(int form) {
  auto toolkit = std::make_shared<test::MemoryToolkit>();
  AppContext ctx{toolkit, CreateSharedState(), {}};
  ctx.endpoints.catalogueBaseUrl = TheSite().server.Url();
  toolkit->DefineWindow(MainWindowDefinition(CatalogueItems()));
  toolkit->LoadWindow(names::kMainWindow, false);
  ctx.state->ListPageUrl = TheSite().server.Url(PathOf(form));
  return ctx;
}

void BM_Read(benchmark::State& state) {
  const AppContext ctx = ReaderContext(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    ReadListPage(ctx);
    benchmark::DoNotOptimize(ctx.state->ListPageHtml.data());
  }
  if (ctx.toolkit->GetText(names::kMainWindow, "标签1", Property::Caption).empty()) state.SkipWithError("nothing cut");
  SetFormLabel(state);
}

// Fetch alone, then the whole read of the same page, in turn: the read's
// extra time over the fetch is what converting and cutting cost.
void BM_ReadOverFetch(benchmark::State& state) {
  const AppContext ctx = ReaderContext(static_cast<int>(state.range(0)));
  using Clock = std::chrono::steady_clock;
  double fetchSeconds = 0;
  double readSeconds = 0;
  for (auto _ : state) {
    const auto start = Clock::now();
    Text page = FetchPageText(ctx.state->ListPageUrl);
    benchmark::DoNotOptimize(page.data());
    const auto fetched = Clock::now();
    ReadListPage(ctx);
    benchmark::DoNotOptimize(ctx.state->ListPageHtml.data());
    const auto read = Clock::now();
    fetchSeconds += std::chrono::duration<double>(fetched - start).count();
    readSeconds += std::chrono::duration<double>(read - fetched).count();
    state.SetIterationTime(std::chrono::duration<double>(read - fetched).count());
  }
  if (ctx.toolkit->GetText(names::kMainWindow, "标签1", Property::Caption).empty()) state.SkipWithError("nothing cut");
  const double n = static_cast<double>(state.iterations());
  state.counters["fetch_ms"] = 1e3 * fetchSeconds / n;
  state.counters["read_ms"] = 1e3 * readSeconds / n;
  state.counters["extra_pct"] = fetchSeconds > 0 ? 100.0 * (readSeconds - fetchSeconds) / fetchSeconds : 0;
  SetFormLabel(state);
}

// The pieces of a read that are not the fetch, on the page in code page 936
// held in memory: the cutter alone (five entries and the sixth cut), one
// removal of an entry from the page, and the reader's UTF-8 conversion.
void BM_CutterAlone(benchmark::State& state) {
  auto toolkit = std::make_shared<test::MemoryToolkit>();
  AppContext ctx{toolkit, CreateSharedState(), {}};
  toolkit->DefineWindow(MainWindowDefinition(CatalogueItems()));
  toolkit->LoadWindow(names::kMainWindow, false);
  const Text page = Ansi(Utf8Page(false, true));
  for (auto _ : state) {
    state.PauseTiming();
    ctx.state->ListPageHtml = page;
    state.ResumeTiming();
    CutEntries(ctx);
  }
}

void BM_RemoveOneEntry(benchmark::State& state) {
  const Text page = Ansi(Utf8Page(false, true));
  const Text entry = "<em>" + TextBetween(page, "<em>", "</span>");
  for (auto _ : state) benchmark::DoNotOptimize(RemoveTexts(page, entry));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

// The search each removal makes over the whole page after the entry it
// removes (the entry is not there again), next to glibc's memmem.
void BM_SearchPageForEntry(benchmark::State& state) {
  const Text page = Ansi(Utf8Page(false, true));
  const Text entry = "<em>" + TextBetween(page, "<em>", "</span>");
  const int after = Find(page, entry) + static_cast<int>(entry.size());
  for (auto _ : state) {
    if (state.range(0) == 0) {
      benchmark::DoNotOptimize(Find(page, entry, after));
    } else {
      benchmark::DoNotOptimize(memmem(page.data() + after - 1, page.size() - after + 1, entry.data(), entry.size()));
    }
  }
  state.SetLabel(state.range(0) == 0 ? "Find" : "memmem");
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (page.size() - after + 1)));
}

void BM_ConvertUtf8Page(benchmark::State& state) {
  const std::string page = Utf8Page(false, false);
  for (auto _ : state) benchmark::DoNotOptimize(Utf8ToAnsi(page));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}

BENCHMARK(BM_CutterAlone)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RemoveOneEntry)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SearchPageForEntry)->DenseRange(0, 1)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ConvertUtf8Page)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Fetch)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_Read)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_ReadOverFetch)->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseManualTime();

}  // namespace

BENCHMARK_MAIN();
