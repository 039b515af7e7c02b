// Deterministic test data: `size` bytes of a fixed pseudo-random pattern,
// different for each seed, that holds no zero byte and no byte equal to
// `avoid`, so that image bytes are told apart from blanked (zero) and
// untouched (`avoid`) target bytes. No two blocks of an image alike.
#ifndef RAVIK_TESTS_SUPPORT_PATTERN_BYTES_H_
#define RAVIK_TESTS_SUPPORT_PATTERN_BYTES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace ravik::testing {

std::vector<std::uint8_t> pattern_bytes(std::size_t size, std::uint32_t seed = 1,
                                        std::uint8_t avoid = 0xEE);
// The same bytes as a string, for images written to files and pipes.
std::string pattern_text(std::size_t size, std::uint32_t seed = 1);

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_PATTERN_BYTES_H_
