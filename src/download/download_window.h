// SPDX-License-Identifier: MIT
#pragma once

#include "app/context.h"
#include "app/window_def.h"
#include "download/download_manager.h"

// DownloadWindow: the small modal window a package button opens. It offers
// the selected package (SelectedLink, SelectedFileName, SelectedCaption) to
// the browser, the clipboard or the download manager, and never changes
// those texts. Window thread only.

namespace kestrune {

WindowDef DownloadWindowDefinition();

// The download manager the window hands packages to, from the context's
// endpoints: its RPC port, the download folder (empty: the user's) and
// whether it may be started.
DownloadManagerConfig DownloadManagerConfigFor(const Endpoints& endpoints);

// Registers the definition and the handlers of DownloadWindow.
void InstallDownloadWindow(const AppContext& ctx, const DownloadManagerConfig& manager);

}  // namespace kestrune
