#include "support/pattern_bytes.h"

namespace ravik::testing {

std::vector<std::uint8_t> pattern_bytes(std::size_t size, std::uint32_t seed,
                                        std::uint8_t avoid) {
  std::vector<std::uint8_t> bytes(size);
  std::uint32_t state = seed * 2654435761u + 12345u;
  for (std::uint8_t& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    auto value = static_cast<std::uint8_t>(state >> 24);
    if (value == 0 || value == avoid) value = 0x5A;
    byte = value;
  }
  return bytes;
}

std::string pattern_text(std::size_t size, std::uint32_t seed) {
  const std::vector<std::uint8_t> bytes = pattern_bytes(size, seed);
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace ravik::testing
