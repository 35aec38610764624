// SPDX-License-Identifier: MIT
#pragma once

#include "app/context.h"

// The reader and the cutter as the handlers run them: on the window thread,
// where the list-page state lives. The public entry points of catalogue.h
// route a call from any thread here.

namespace kestrune::detail {

void ReadListPageOnWindowThread(const AppContext& ctx);
void CutEntriesOnWindowThread(const AppContext& ctx);

}  // namespace kestrune::detail
