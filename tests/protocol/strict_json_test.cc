#include "json/strict_json.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "json/json_object_reader.h"

namespace ravik {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string refusal(std::string_view text) {
  auto parsed = parse_strict_json(text);
  EXPECT_FALSE(parsed.has_value()) << text;
  return parsed ? std::string() : parsed.error().description;
}

TEST(ParseStrictJson, DuplicateMembers_RefusedAtEveryLevelWithPosition) {
  EXPECT_EQ(refusal(R"({"a":1,"a":1})"), "duplicate member \"a\" at line 1, column 10");
  EXPECT_EQ(refusal("{\"o\":{\"k\":true,\n\"k\":false}}"),
            "duplicate member \"k\" at line 2, column 3");
  EXPECT_THAT(refusal(R"([{"x":1},{"y":2,"y":3}])"),
              StartsWith("duplicate member \"y\""));
  // The same name in sibling objects or at another level is no repetition.
  EXPECT_TRUE(parse_strict_json(R"({"a":{"a":1},"b":[{"a":1},{"a":2}]})").has_value());
  // Escapes are compared after decoding: "\u0061" is "a".
  EXPECT_THAT(refusal(R"({"a":1,"\u0061":2})"), StartsWith("duplicate member \"a\""));
}

TEST(ParseStrictJson, NumbersOtherThanPlainIntegers_Refused) {
  for (const char* text : {"1.5", "1e3", "1E+0", "0.0", "[18446744073709551616]",
                           R"({"n":-9223372036854775809})"}) {
    EXPECT_THAT(refusal(text), StartsWith("number is not an integer of at most 64 bits"))
        << text;
  }
  // The position names the number's last character, not the lookahead.
  EXPECT_EQ(refusal(R"({"n":2.5,"m":1})"),
            "number is not an integer of at most 64 bits (fraction, exponent or out of "
            "range) at line 1, column 8");
  auto largest = parse_strict_json("18446744073709551615");
  ASSERT_TRUE(largest.has_value());
  EXPECT_TRUE(largest->is_number_unsigned());
}

TEST(ParseStrictJson, ExactlyOneValue_TrailingWhiteSpaceOnly) {
  EXPECT_TRUE(parse_strict_json(" \t\r\n{\"a\":1} \n\n\t ").has_value());
  EXPECT_THAT(refusal(R"({"a":1}{"b":2})"), HasSubstr("line 1, column 8"));
  EXPECT_THAT(refusal(R"({"a":1} x)"), HasSubstr("expected end of input"));
  EXPECT_THAT(refusal(""), HasSubstr("line 1, column 1"));
  // Library-internal numbering is not part of the description.
  EXPECT_THAT(refusal("{"), StartsWith("parse error at line 1, column 2"));
}

TEST(ParseStrictJson, ByteOrderMarkCommentsAndBadText_Refused) {
  EXPECT_EQ(refusal("\xEF\xBB\xBF{}"), "byte order mark at line 1, column 1");
  EXPECT_THAT(refusal("{} // note"), HasSubstr("parse error"));
  EXPECT_THAT(refusal("{\"a\":\"\xC3\x28\"}"), HasSubstr("parse error"));
  EXPECT_THAT(refusal(R"({"a":"\ud800"})"), HasSubstr("surrogate"));
  EXPECT_THAT(refusal("{\"a\":\"tab\there\"}"), HasSubstr("control character"));
}

TEST(ParseStrictJson, DeepNesting_RefusedBeforeItCostsMuch) {
  const std::string deep(100000, '[');
  EXPECT_THAT(refusal(deep), StartsWith("nesting deeper than 64 levels"));
  std::string ok = std::string(64, '[') + std::string(64, ']');
  EXPECT_TRUE(parse_strict_json(ok).has_value());
}

TEST(ParseStrictJson, LongHostileTokens_DescriptionStaysBounded) {
  const std::string key(100000, 'k');
  const std::string text = "{\"" + key + "\":1,\"" + key + "\":2}";
  const std::string description = refusal(text);
  EXPECT_LE(description.size(), kMaxDecodeDescriptionBytes);
  EXPECT_THAT(description, StartsWith("duplicate member \"kkk"));

  const std::string garbage = "\"" + std::string(5000, 'x');  // unterminated
  EXPECT_LE(refusal(garbage).size(), kMaxDecodeDescriptionBytes);
}

DecodeResult<JsonObjectReader> reader_over(const nlohmann::json& value) {
  return JsonObjectReader::open(value, "");
}

TEST(JsonObjectReader, TypedMembers_StrictTypesAndRanges) {
  const auto doc = nlohmann::json::parse(
      R"({"s":"x","n":65535,"big":65536,"neg":-1,"negzero":-0,"q":"5","b":true,
          "nul":null,"o":{"inner":1}})");
  auto reader = *reader_over(doc);
  EXPECT_EQ(*reader.required_string("s"), "x");
  EXPECT_EQ(*reader.required_unsigned<std::uint16_t>("n"), 65535);
  EXPECT_EQ(reader.required_unsigned<std::uint16_t>("big").error().description,
            "member \"big\" is 65536, above its maximum 65535");
  EXPECT_EQ(reader.required_unsigned<std::uint64_t>("neg").error().description,
            "member \"neg\" must be an unsigned integer, not a negative integer");
  EXPECT_FALSE(reader.required_unsigned<std::uint64_t>("negzero").has_value());
  EXPECT_EQ(reader.required_unsigned<std::uint64_t>("q").error().description,
            "member \"q\" must be an unsigned integer, not a string");
  EXPECT_EQ(reader.required_string("b").error().description,
            "member \"b\" must be a string, not a boolean");
  EXPECT_EQ(*reader.optional_string("nul"), std::nullopt);
  EXPECT_EQ(*reader.optional_string("absent"), std::nullopt);
  EXPECT_EQ(reader.required_bool("missing").error().description,
            "missing member \"missing\"");
  auto inner = reader.required_object("o");
  ASSERT_TRUE(inner.has_value());
  EXPECT_EQ(inner->required_string("inner").error().description,
            "member \"o.inner\" must be a string, not a non-negative integer");
  EXPECT_TRUE(reader.finish().has_value());
}

TEST(JsonObjectReader, DefaultsOnlyWhenAbsent_UnknownMembersRefused) {
  const auto doc = nlohmann::json::parse(R"({"n":null,"f":null,"extra\n":1})");
  auto reader = *reader_over(doc);
  EXPECT_EQ(*reader.unsigned_or<std::uint64_t>("absent", 7), 7u);
  EXPECT_EQ(*reader.bool_or("absentFlag", true), true);
  EXPECT_FALSE(reader.unsigned_or<std::uint64_t>("n", 0).has_value());
  EXPECT_EQ(reader.bool_or("f", false).error().description,
            "member \"f\" must be true or false, not null");
  // The peer's member name is quoted as JSON, never raw.
  EXPECT_EQ(reader.finish().error().description, "unknown member \"extra\\n\"");

  const auto array = nlohmann::json::parse("[1]");
  EXPECT_EQ(reader_over(array).error().description,
            "expected a JSON object, found an array");
}

}  // namespace
}  // namespace ravik
