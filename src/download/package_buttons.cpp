// SPDX-License-Identifier: MIT
#include "download/package_buttons.h"

#include <memory>
#include <string>

#include "app/names.h"
#include "download/download_window.h"
#include "web/text.h"

namespace kestrune {
namespace {

constexpr const char* kMain = names::kMainWindow;

void ClickPackageButton(Toolkit& tk, SharedState& state, int button) {
  // Even buttons carry fastboot packages, odd ones recovery packages.
  const bool fastboot = button % 2 == 0;
  const Text pattern = fastboot ? "http(.*?)tgz" : "http(.*?)zip";
  const Text ending = fastboot ? "tgz" : "zip";

  const Text link = state.PackageLink(button);
  if (link.empty()) return;

  Text path;
  {
    // Held for the whole sequence, released before any toolkit call.
    auto lock = state.LockMatcher();
    if (!state.Matcher) return;  // released: the program is ending
    state.Matcher->Create(pattern);
    state.Matcher->Search(link);
    path = state.Matcher->GetSubMatchText(1, 1);
  }

  TextArray parts = Split(path, "/");
  // Without a fifth element there is no file name to offer: nothing opens and
  // the previous choice stays as it was.
  if (parts.size() < 5) return;

  const std::string name = "按钮" + std::to_string(button);
  state.SelectedFileName = parts[4] + ending;
  state.LinkParts = std::move(parts);
  state.SelectedLink = link;
  state.SelectedCaption = tk.GetText(kMain, name, Property::Caption);
  tk.LoadWindow(names::kDownloadWindow, true);
}

}  // namespace

void InstallPackageButtons(const AppContext& ctx) {
  InstallPackageButtons(ctx, DownloadManagerConfigFor(ctx.endpoints));
}

void InstallPackageButtons(const AppContext& ctx, const DownloadManagerConfig& manager) {
  InstallDownloadWindow(ctx, manager);
  const std::weak_ptr<Toolkit> weak = ctx.toolkit;
  const std::shared_ptr<SharedState> state = ctx.state;
  for (int button = 2; button <= 11; ++button) {
    ctx.toolkit->SetHandler(kMain, "按钮" + std::to_string(button), Event::Clicked, [weak, state, button] {
      if (auto toolkit = weak.lock()) ClickPackageButton(*toolkit, *state, button);
    });
  }
}

}  // namespace kestrune
