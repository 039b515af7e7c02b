// UTF-8 decoding shared by the text that enters and leaves the process:
// command-line arguments, JSON strings written by the helper, and messages
// passed through safe_message. Pure functions; thread-safe.
#ifndef RAVIK_ERROR_UTF8_H_
#define RAVIK_ERROR_UTF8_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ravik {

struct DecodedScalar {
  char32_t scalar;
  std::size_t length;  // bytes consumed, 1 to 4
};

// Decodes the Unicode scalar value at the start of `text` (which must not be
// empty). Returns nothing for an ill-formed sequence: a bad lead or
// continuation byte, an overlong form, a surrogate, a value above U+10FFFF or
// a sequence cut short by the end of `text`.
std::optional<DecodedScalar> decode_utf8_scalar(std::string_view text);

bool is_valid_utf8(std::string_view text);

// Unicode's White_Space property.
bool is_unicode_white_space(char32_t scalar);

}  // namespace ravik

#endif  // RAVIK_ERROR_UTF8_H_
