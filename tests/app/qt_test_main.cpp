// SPDX-License-Identifier: MIT
// One QApplication for the whole test process, created before the first test
// and living until the last; each test makes its own toolkit over it.
#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest's discovery) needs no display.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  // Headless unless a test run asks for a real display; a private runtime
  // folder keeps Qt quiet.
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  setenv("XDG_RUNTIME_DIR", KESTRUNE_TEST_RUNTIME_DIR, 0);
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
