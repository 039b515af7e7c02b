#include "error/decimal.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string_view>

namespace ravik {
namespace {

TEST(ParseUnsignedDecimalTest, Grammar) {
  EXPECT_EQ(parse_unsigned_decimal("+250"), 250u);
  EXPECT_EQ(parse_unsigned_decimal("0"), 0u);
  EXPECT_EQ(parse_unsigned_decimal("007"), 7u);
  EXPECT_EQ(parse_unsigned_decimal("3600001"), 3600001u);
  EXPECT_EQ(parse_unsigned_decimal("18446744073709551615"), 18446744073709551615u);
  for (const std::string_view bad :
       {"", "+", "-1", "1.5", " 5", "5 ", "18446744073709551616", "99999999999999999999",
        "++1", "1e3", "0x10", "\xD9\xA1"}) {
    EXPECT_FALSE(parse_unsigned_decimal(bad)) << bad;
  }
}

TEST(ParseDecimalTest, NoPlusSignAndTheTypesRange) {
  EXPECT_FALSE(parse_decimal<std::uint64_t>("+1"));
  EXPECT_FALSE(parse_decimal<std::uint64_t>(""));
  EXPECT_EQ(parse_decimal<std::int32_t>("-2147483648"), INT32_MIN);
  EXPECT_FALSE(parse_decimal<std::int32_t>("2147483648"));
  EXPECT_FALSE(parse_decimal<std::uint32_t>("4294967296"));
  EXPECT_EQ(parse_decimal<std::uint32_t>("4294967295"), UINT32_MAX);
}

}  // namespace
}  // namespace ravik
