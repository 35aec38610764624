// SPDX-License-Identifier: MIT
#pragma once

#include <memory>

#include "app/context.h"
#include "app/toolkit.h"

// The program's start and end, over any toolkit.

namespace kestrune {

// Start-up, in this order: MainWindow's definition registered; the shared
// state created (Matcher first); every part wired to one AppContext (the main
// window, the catalogue, the package buttons with DownloadWindow, the
// background checks); the clean-up (ReleaseSharedState) registered;
// MainWindow loaded as the non-modal start window; the message loop run.
//
// Returns the exit code once the program has ended: 0 after MainWindow was
// closed, or the code given to ExitProgram. The clean-up has run by then,
// once, on the window thread. Workers may still be running; they keep the
// toolkit and the state alive through the context they hold, so the caller
// may end the process without waiting for them.
//
// Window thread only (the toolkit's).
int RunProgram(const std::shared_ptr<Toolkit>& toolkit, const Endpoints& endpoints = {});

}  // namespace kestrune
