// SPDX-License-Identifier: MIT
#include "catalogue/catalogue.h"

#include <array>
#include <memory>
#include <string_view>

#include "app/names.h"
#include "catalogue/list_page_reader.h"

namespace kestrune {

namespace {

constexpr std::string_view kWindow = names::kMainWindow;
constexpr std::string_view kModelList = "组合框1";

constexpr std::array<std::string_view, 10> kPackageButtons = {
    "按钮2", "按钮3", "按钮4", "按钮5", "按钮6", "按钮7", "按钮8", "按钮9", "按钮10", "按钮11",
};

// Fixed list pages of the two page-reading test buttons.
constexpr std::string_view kTestButton1Path = "/list-169-1-18-21-1-2";
constexpr std::string_view kTestButton100Path = "/list-169-1-15-14-1-1";

// Every pick starts from the same state: all ten links empty and all ten
// buttons enabled, whatever the previous page showed.
void OnModelSelected(const AppContext& ctx) {
  SharedState& state = *ctx.state;
  for (Text& link : state.PackageLinks) Text().swap(link);
  for (std::string_view button : kPackageButtons) ctx.toolkit->SetProperty(kWindow, button, Property::Disabled, 0);

  // The prompt row and "nothing selected" keep the last page, which is read
  // again.
  int index = ctx.toolkit->GetInt(kWindow, kModelList, Property::CurrentSelection);
  Text address = ListPageAddress(ctx.endpoints.catalogueBaseUrl, index);
  if (!address.empty()) state.ListPageUrl = std::move(address);

  detail::ReadListPageOnWindowThread(ctx);
}

void ReadFixedPage(const AppContext& ctx, std::string_view path) {
  ctx.state->ListPageUrl = ctx.endpoints.catalogueBaseUrl + Text(path);
  detail::ReadListPageOnWindowThread(ctx);
}

// The toolkit keeps the handlers for as long as it lives; holding it only
// weakly from them keeps the two from keeping each other alive.
Toolkit::Handler Bind(const AppContext& ctx, void (*handler)(const AppContext&)) {
  std::weak_ptr<Toolkit> toolkit = ctx.toolkit;
  return [toolkit, state = ctx.state, endpoints = ctx.endpoints, handler] {
    std::shared_ptr<Toolkit> alive = toolkit.lock();
    if (!alive) return;
    handler(AppContext{std::move(alive), state, endpoints});
  };
}

}  // namespace

void InstallCatalogue(const AppContext& ctx) {
  Toolkit& tk = *ctx.toolkit;
  tk.SetHandler(kWindow, kModelList, Event::Selected, Bind(ctx, OnModelSelected));
  tk.SetHandler(kWindow, "按钮1", Event::Clicked, Bind(ctx, ClickTestButton1));
  tk.SetHandler(kWindow, "按钮100", Event::Clicked, Bind(ctx, [](const AppContext& c) {
                  c.toolkit->RunOnWindowThread([&c] { ReadFixedPage(c, kTestButton100Path); });
                }));
  tk.SetHandler(kWindow, "按钮12", Event::Clicked, Bind(ctx, CutEntries));
}

void ClickTestButton1(const AppContext& ctx) {
  ctx.toolkit->RunOnWindowThread([&ctx] { ReadFixedPage(ctx, kTestButton1Path); });
}

}  // namespace kestrune
