#include "support/sha256_hex.h"

#include <gtest/gtest.h>

namespace ravik::testing {
namespace {

// The oracle itself is checked against the published test vectors.
TEST(Sha256HexTest, KnownDigests) {
  EXPECT_EQ(sha256_hex(""),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(sha256_hex("abc"),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
}  // namespace ravik::testing
