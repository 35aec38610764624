// SPDX-License-Identifier: MIT
// Linked into every test executable: pins the environment Qt sees before any
// test creates an application object. QT_QPA_PLATFORM is only a default, so a
// test run under Xvfb on purpose can choose xcb.
#include <cstdlib>

namespace {

struct PinnedEnvironment {
  PinnedEnvironment() {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    setenv("XDG_RUNTIME_DIR", KESTRUNE_TEST_RUNTIME_DIR, 1);
    setenv("LC_ALL", "C.UTF-8", 1);
  }
} pinned;

}  // namespace
