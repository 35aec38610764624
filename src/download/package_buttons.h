// SPDX-License-Identifier: MIT
#pragma once

#include "app/context.h"
#include "download/download_manager.h"

// The ten package buttons 按钮2..按钮11 and the download window they open.
// Window thread only.
//
// A click takes the package's file name out of the button's link: the part
// of the link between its first "http" and the first "tgz" (按钮2, 4, 6, 8,
// 10) or "zip" (按钮3, 5, 7, 9, 11) after it, in any letter case, split at
// "/"; element 5 followed by the lower-case ending is the file name. It then
// records LinkParts, SelectedFileName, SelectedLink and SelectedCaption and
// opens DownloadWindow modally. A click on a button whose link is empty, does
// not match, or gives fewer than five elements opens nothing and changes no
// shared text.

namespace kestrune {

// Registers the click handlers of the package buttons on MainWindow, the
// DownloadWindow definition and its handlers, with the download manager of
// the context's endpoints.
void InstallPackageButtons(const AppContext& ctx);
// The same with a download manager of the caller's choosing.
void InstallPackageButtons(const AppContext& ctx, const DownloadManagerConfig& manager);

}  // namespace kestrune
