#include "json/json_string.h"

#include "error/utf8.h"

namespace ravik {
namespace {

constexpr std::string_view kReplacementCharacter = "\xEF\xBF\xBD";

void append_control(std::string& out, unsigned char byte) {
  switch (byte) {
    case '\b':
      out += "\\b";
      return;
    case '\f':
      out += "\\f";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    default:
      break;
  }
  constexpr char kHex[] = "0123456789abcdef";
  out += "\\u00";
  out += kHex[byte >> 4];
  out += kHex[byte & 0x0F];
}

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < text.size()) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte < 0x80) {
      if (byte < 0x20) {
        append_control(out, byte);
      } else if (byte == '"' || byte == '\\') {
        out += '\\';
        out += static_cast<char>(byte);
      } else {
        out += static_cast<char>(byte);
      }
      ++i;
      continue;
    }
    const auto scalar = decode_utf8_scalar(text.substr(i));
    if (!scalar) {
      out += kReplacementCharacter;
      ++i;
      continue;
    }
    out.append(text.substr(i, scalar->length));
    i += scalar->length;
  }
  out += '"';
}

}  // namespace ravik
