#include "platform/whitespace_normalize.h"

#include "error/utf8.h"

namespace ravik {

std::string normalize_whitespace(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  bool pending_space = false;
  while (!text.empty()) {
    const auto scalar = decode_utf8_scalar(text);
    const std::size_t length = scalar ? scalar->length : 1;
    if (scalar && is_unicode_white_space(scalar->scalar)) {
      pending_space = !out.empty();
    } else {
      if (pending_space) out.push_back(' ');
      pending_space = false;
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

}  // namespace ravik
