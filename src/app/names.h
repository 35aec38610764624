// SPDX-License-Identifier: MIT
#pragma once

// Window and control names, as the window definitions name them.
namespace kestrune::names {

inline constexpr const char kMainWindow[] = "MainWindow";
inline constexpr const char kDownloadWindow[] = "DownloadWindow";

}  // namespace kestrune::names
