// SPDX-License-Identifier: MIT
// One QApplication for the whole test process, created before the first test;
// each test makes its own toolkit over it, and the test's thread is the
// window thread.
#include <QApplication>

#include <gtest/gtest.h>

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // Listing the tests (CTest's discovery) needs no application.
  if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
  QApplication application(argc, argv);
  return RUN_ALL_TESTS();
}
