// SPDX-License-Identifier: MIT
#pragma once

#include "app/context.h"

// The ten package buttons 按钮2..按钮11 and the download window they open.
// Window thread only.

namespace kestrune {

// Registers the click handlers of the package buttons on MainWindow, the
// DownloadWindow definition and its handlers.
void InstallPackageButtons(const AppContext& ctx);

}  // namespace kestrune
