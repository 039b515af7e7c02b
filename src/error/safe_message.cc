#include "error/safe_message.h"

#include "error/utf8.h"

namespace ravik {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

}  // namespace

std::string safe_message(std::string_view text) {
  std::string output;
  output.reserve(text.size() < kSafeMessageMaxBytes ? text.size() : kSafeMessageMaxBytes);
  bool blank = true;
  while (!text.empty()) {
    std::string_view encoded;
    char32_t scalar;
    if (const auto decoded = decode_utf8_scalar(text)) {
      scalar = decoded->scalar;
      encoded = text.substr(0, decoded->length);
      text.remove_prefix(decoded->length);
    } else {
      scalar = 0xFFFD;
      encoded = kReplacementCharacter;
      text.remove_prefix(1);
    }
    if (scalar == U'\r' || scalar == U'\n' || scalar == U'\0') {
      scalar = U' ';
      encoded = " ";
    }
    if (output.size() + encoded.size() > kSafeMessageMaxBytes) break;
    output.append(encoded);
    if (!is_unicode_white_space(scalar)) blank = false;
  }
  if (blank) return std::string(kBlankMessageReplacement);
  return output;
}

}  // namespace ravik
