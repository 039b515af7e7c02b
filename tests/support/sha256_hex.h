// sha256_hex: the SHA-256 of a byte string in lower-case hexadecimal,
// computed by OpenSSL directly so that tests check the helper's own digests
// against an independent oracle.
#ifndef RAVIK_TESTS_SUPPORT_SHA256_HEX_H_
#define RAVIK_TESTS_SUPPORT_SHA256_HEX_H_

#include <string>
#include <string_view>

namespace ravik::testing {

std::string sha256_hex(std::string_view bytes);

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_SHA256_HEX_H_
