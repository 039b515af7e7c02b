#include "protocol/base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace ravik {
namespace {

bool in_alphabet(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
         c == '+' || c == '/';
}

}  // namespace

std::string base64_encode(std::span<const std::uint8_t> bytes) {
  std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
  const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                     bytes.data(), static_cast<int>(bytes.size()));
  text.resize(static_cast<std::size_t>(length));
  return text;
}

std::optional<std::vector<std::uint8_t>> base64_decode_canonical(std::string_view text) {
  // EVP_DecodeBlock skips surrounding white space and knows no padding rule,
  // so the shape is checked first.
  if (text.size() % 4 != 0) return std::nullopt;
  const std::size_t padding = text.ends_with("==") ? 2 : (text.ends_with('=') ? 1 : 0);
  if (!std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding),
                   in_alphabet)) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes(text.size() / 4 * 3);
  const int decoded =
      EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                      static_cast<int>(text.size()));
  if (decoded < 0 || static_cast<std::size_t>(decoded) != bytes.size())
    return std::nullopt;
  bytes.resize(bytes.size() - padding);
  // Non-zero trailing bits decode like zero ones; only the re-encoding tells.
  if (base64_encode(bytes) != text) return std::nullopt;
  return bytes;
}

}  // namespace ravik
