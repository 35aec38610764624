// SPDX-License-Identifier: MIT
#pragma once

namespace kestrune {

// libcurl's process-wide set-up, done once whichever thread comes first;
// every part that makes its own transfers calls it before the first.
void EnsureCurlReady();

}  // namespace kestrune
