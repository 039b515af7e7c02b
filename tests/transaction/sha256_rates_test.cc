#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "io/sha256.h"
#include "transaction/rates.h"

namespace ravik {
namespace {

std::span<const std::uint8_t> bytes_of(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

TEST(Sha256, KnownDigestsIncrementalAndRestart) {
  EXPECT_EQ(Sha256::hex_of({}),
            "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(Sha256::hex_of(bytes_of("abc")),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  const std::string long_text =
      "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
  Sha256 hasher;
  for (std::size_t i = 0; i < long_text.size(); i += 5) {
    hasher.update(bytes_of(std::string_view(long_text).substr(i, 5)));
  }
  EXPECT_EQ(hasher.finish_hex(),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
  // Finishing starts a fresh digest.
  hasher.update(bytes_of("abc"));
  EXPECT_EQ(hasher.finish_hex(), Sha256::hex_of(bytes_of("abc")));
}

TEST(Rates, WriteDurationAndSpeed_In128BitsSaturated) {
  using std::chrono::nanoseconds;
  constexpr auto kMax = std::numeric_limits<std::uint64_t>::max();
  EXPECT_EQ(whole_milliseconds(nanoseconds(1'999'999)), 1u);
  EXPECT_EQ(whole_milliseconds(nanoseconds(3'000'000'000)), 3000u);
  EXPECT_EQ(whole_milliseconds(nanoseconds(0)), 0u);
  // 1 GiB in 2 s.
  EXPECT_EQ(write_speed_bps(1'073'741'824, nanoseconds(2'000'000'000)), 536'870'912u);
  // B x 10^9 overflows 64 bits but not the 128-bit product.
  EXPECT_EQ(write_speed_bps(9'007'199'254'740'991, nanoseconds(1'000'000'000'000)),
            9'007'199'254'740u);
  // No measurable time counts as one nanosecond; the quotient saturates.
  EXPECT_EQ(write_speed_bps(100, nanoseconds(0)), 100'000'000'000u);
  EXPECT_EQ(write_speed_bps(kMax, nanoseconds(1)), kMax);
  EXPECT_EQ(progress_speed_bps(100, nanoseconds(0)), 0u);
  EXPECT_EQ(progress_speed_bps(4'194'304, nanoseconds(1'500'000'000)), 2'796'202u);
  EXPECT_EQ(progress_speed_bps(kMax, nanoseconds(1)), kMax);
}

}  // namespace
}  // namespace ravik
