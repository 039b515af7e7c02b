// Bytes as lower-case hexadecimal text, two characters a byte: the form of
// every digest and random identifier the programs print or compare. Pure;
// thread-safe.
#ifndef RAVIK_ERROR_HEX_H_
#define RAVIK_ERROR_HEX_H_

#include <cstdint>
#include <span>
#include <string>

namespace ravik {

inline std::string lower_hex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(2 * bytes.size());
  for (const std::uint8_t byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0f]);
  }
  return text;
}

}  // namespace ravik

#endif  // RAVIK_ERROR_HEX_H_
