// Whole-text decimal numbers, for command-line values, kernel attribute files
// and /proc records. Pure functions; thread-safe.
#ifndef RAVIK_ERROR_DECIMAL_H_
#define RAVIK_ERROR_DECIMAL_H_

#include <charconv>
#include <concepts>
#include <cstdint>
#include <optional>
#include <string_view>
#include <system_error>

namespace ravik {

// One or more ASCII digits (with a leading "-" for a signed type) and nothing
// else, representable in T.
template <std::integral T>
std::optional<T> parse_decimal(std::string_view text) {
  if (text.empty()) return std::nullopt;
  T value{};
  const char* const end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value, 10);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

// An unsigned 64-bit decimal: an optional "+", then one or more digits and
// nothing else, without overflow.
inline std::optional<std::uint64_t> parse_unsigned_decimal(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  return parse_decimal<std::uint64_t>(text);
}

}  // namespace ravik

#endif  // RAVIK_ERROR_DECIMAL_H_
