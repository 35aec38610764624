// SPDX-License-Identifier: MIT
#include "app/toolkit.h"

namespace kestrune {

int Toolkit::GetInt(std::string_view window, std::string_view control, Property property) {
  Value v = GetProperty(window, control, property);
  if (const int* i = std::get_if<int>(&v)) return *i;
  return 0;
}

Text Toolkit::GetText(std::string_view window, std::string_view control, Property property) {
  Value v = GetProperty(window, control, property);
  if (const Text* t = std::get_if<Text>(&v)) return *t;
  return {};
}

}  // namespace kestrune
