// SPDX-License-Identifier: MIT
#pragma once

#include "app/context.h"

// The remote configuration and the update check, a chain of worker tasks
// started by the single tick of 时钟1.

namespace kestrune {

// Registers the tick handler of 时钟1 on MainWindow.
void InstallBackgroundChecks(const AppContext& ctx);

}  // namespace kestrune
