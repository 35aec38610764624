// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// Cuts one fuzzer input into several byte strings at a separator that seeds
// rarely contain, so a corpus of plain pages still reaches every argument.
namespace kestrune::fuzz {

inline std::vector<std::string> Pieces(const std::uint8_t* data, std::size_t size, std::size_t count) {
  std::string_view all(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  while (pieces.size() + 1 < count) {
    std::size_t cut = all.find("\x01\x02");
    if (cut == std::string_view::npos) break;
    pieces.emplace_back(all.substr(0, cut));
    all.remove_prefix(cut + 2);
  }
  pieces.emplace_back(all);
  pieces.resize(count);
  return pieces;
}

}  // namespace kestrune::fuzz
