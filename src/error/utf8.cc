#include "error/utf8.h"

namespace ravik {

std::optional<DecodedScalar> decode_utf8_scalar(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(0);
  if (lead < 0x80) return DecodedScalar{lead, 1};

  std::size_t length;
  char32_t scalar;
  char32_t minimum;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    scalar = lead & 0x1F;
    minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    scalar = lead & 0x0F;
    minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    scalar = lead & 0x07;
    minimum = 0x10000;
  } else {
    return std::nullopt;
  }
  if (text.size() < length) return std::nullopt;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return std::nullopt;
    scalar = (scalar << 6) | (byte(i) & 0x3F);
  }
  if (scalar < minimum || scalar > 0x10FFFF || (scalar >= 0xD800 && scalar <= 0xDFFF)) {
    return std::nullopt;
  }
  return DecodedScalar{scalar, length};
}

bool is_valid_utf8(std::string_view text) {
  while (!text.empty()) {
    const auto decoded = decode_utf8_scalar(text);
    if (!decoded) return false;
    text.remove_prefix(decoded->length);
  }
  return true;
}

bool is_unicode_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

}  // namespace ravik
