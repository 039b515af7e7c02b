#include "error/safe_message.h"

#include <gtest/gtest.h>

#include <string>

namespace ravik {
namespace {

TEST(SafeMessageTest, KeepsAtMost16384BytesAndNeverSplitsACharacter) {
  EXPECT_EQ(safe_message(std::string(20000, 'a')), std::string(16384, 'a'));
  EXPECT_EQ(safe_message(std::string(16384, 'b')), std::string(16384, 'b'));

  // "é" is two bytes and "€" three; place each so that it straddles byte
  // 16384 and check the cut falls before it.
  const std::string two = std::string(16383, 'x') + "\xC3\xA9";
  EXPECT_EQ(safe_message(two), std::string(16383, 'x'));
  const std::string three = std::string(16382, 'x') + "\xE2\x82\xAC" + "tail";
  EXPECT_EQ(safe_message(three), std::string(16382, 'x'));
  const std::string four = std::string(16381, 'x') + "\xF0\x9F\x98\x80";
  EXPECT_EQ(safe_message(four), std::string(16381, 'x'));
  const std::string fits = std::string(16381, 'x') + "\xE2\x82\xAC";
  EXPECT_EQ(safe_message(fits), fits);
}

TEST(SafeMessageTest, LineBreaksAndNulBecomeSpaces) {
  EXPECT_EQ(safe_message("first\r\nsecond"), "first  second");
  EXPECT_EQ(safe_message(std::string("a\0b", 3)), "a b");
  EXPECT_EQ(safe_message("tab\tstays"), "tab\tstays");
  EXPECT_EQ(safe_message(" leading and trailing "), " leading and trailing ");
}

TEST(SafeMessageTest, BlankTextBecomesTheFixedSentence) {
  for (const std::string& blank :
       {std::string(), std::string("   "), std::string("\r\n\n"),
        std::string("\t \xC2\xA0\xE3\x80\x80")}) {
    EXPECT_EQ(safe_message(blank), "The helper operation failed.");
  }
}

TEST(SafeMessageTest, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(safe_message("bad \xFF byte"), "bad \xEF\xBF\xBD byte");
  EXPECT_EQ(safe_message("cut \xE2\x82"), "cut \xEF\xBF\xBD\xEF\xBF\xBD");
}

}  // namespace
}  // namespace ravik
