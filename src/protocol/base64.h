// Standard Base64 with padding, as the protocol carries file and range
// contents (dataBase64). Functions; thread-safe.
#ifndef RAVIK_PROTOCOL_BASE64_H_
#define RAVIK_PROTOCOL_BASE64_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravik {

std::string base64_encode(std::span<const std::uint8_t> bytes);

// The bytes of `text` when it is canonical Base64: standard alphabet, a
// length that is a multiple of 4, padding where the length needs it and
// nowhere else, and zero trailing bits. Nothing otherwise.
std::optional<std::vector<std::uint8_t>> base64_decode_canonical(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_BASE64_H_
