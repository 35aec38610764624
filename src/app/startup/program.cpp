// SPDX-License-Identifier: MIT
#include "app/startup/program.h"

#include <vector>

#include "app/main_window.h"
#include "app/names.h"
#include "app/shared_state.h"
#include "background/background_checks.h"
#include "catalogue/catalogue.h"
#include "download/package_buttons.h"

namespace kestrune {

int RunProgram(const std::shared_ptr<Toolkit>& toolkit, const Endpoints& endpoints) {
  std::vector<Text> modelItems;
  for (const CatalogueRow& row : CatalogueRows()) modelItems.push_back(row.item);
  toolkit->DefineWindow(MainWindowDefinition(modelItems));

  AppContext ctx;
  ctx.toolkit = toolkit;
  ctx.state = CreateSharedState();
  ctx.endpoints = endpoints;

  InstallMainWindow(ctx);
  InstallCatalogue(ctx);
  InstallPackageButtons(ctx);
  InstallBackgroundChecks(ctx);

  // The state object itself outlives the clean-up, for workers still in
  // flight; the clean-up empties it, once.
  toolkit->SetCleanup([state = ctx.state] { ReleaseSharedState(*state); });

  toolkit->LoadWindow(names::kMainWindow, false);
  return toolkit->RunMessageLoop();
}

}  // namespace kestrune
