// SPDX-License-Identifier: MIT
// The entry cutter on arbitrary pages, through an in-memory main window.
#include <cstdlib>
#include <memory>

#include "app/main_window.h"
#include "app/names.h"
#include "catalogue/catalogue.h"
#include "fuzz/fuzz_input.h"
#include "support/memory_toolkit.h"

using namespace kestrune;

namespace {

AppContext& Context() {
  static AppContext ctx = [] {
    AppContext c;
    auto toolkit = std::make_shared<test::MemoryToolkit>();
    toolkit->DefineWindow(MainWindowDefinition(CatalogueItems()));
    c.toolkit = toolkit;
    c.state = CreateSharedState();
    c.endpoints.catalogueBaseUrl = "http://127.0.0.1:9";
    toolkit->LoadWindow(names::kMainWindow, false);
    return c;
  }();
  return ctx;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  AppContext& ctx = Context();
  std::string page(reinterpret_cast<const char*>(data), size);
  ctx.state->ListPageHtml = page;
  // A pick starts every read with no links; without this the links of an
  // earlier input would stay where this page has no package.
  for (Text& link : ctx.state->PackageLinks) link.clear();
  // The second cut walks on down what the first left, as 按钮12 does, and
  // keeps the links of the first where it finds no package.
  for (int cut = 0; cut < 2; ++cut) {
    CutEntries(ctx);
    // The cutter only ever removes text from the page it holds.
    if (ctx.state->ListPageHtml.size() > page.size()) std::abort();
    for (int button = 2; button <= 11; ++button)
      if (ctx.state->PackageLink(button).size() > page.size()) std::abort();
  }
  return 0;
}
