// SPDX-License-Identifier: MIT
#include <cstdio>
#include <cstdlib>

#include "app/qt/qt_toolkit.h"
#include "app/startup/program.h"

int main() {
  auto toolkit = kestrune::QtToolkit::CreateWithApplication();
  if (!toolkit) return EXIT_FAILURE;
  const int code = kestrune::RunProgram(toolkit);
  // Workers may still be inside a network call or waiting for the window
  // thread: end the process here, without destructors or atexit handlers
  // they could still be using.
  std::fflush(nullptr);
  std::_Exit(code);
}
