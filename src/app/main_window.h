// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <functional>

#include "app/context.h"
#include "app/window_def.h"

// MainWindow's definition, its created handler and the handlers of its own
// timers (the scrolling notice on 时钟2, the status texts on 时钟3 and 时钟4).

namespace kestrune {

WindowDef MainWindowDefinition();

// Tests inject the clock of the scrolling notice.
using LocalClock = std::function<std::chrono::system_clock::time_point()>;

void InstallMainWindow(const AppContext& ctx, LocalClock clock = nullptr);

}  // namespace kestrune
