// File names: which names are accepted, which need long-name entries, how
// short aliases are derived, and how long-name runs are decoded.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "fatfs/long_name.h"
#include "fatfs/short_name.h"

namespace fatfs {
namespace {

std::string text(const ShortName& name) { return std::string(name.begin(), name.end()); }

TEST(ValidateFileName, Grammar) {
  for (const std::string& good :
       std::vector<std::string>{"a", "config.txt", "a-b_c.d", "My File (2).txt", "x.y.z",
                                std::string(255, 'n')}) {
    EXPECT_TRUE(validate_file_name(good).has_value()) << good;
  }
  for (const std::string& bad :
       {std::string(), std::string("."), std::string(".."), std::string("a/b"),
        std::string("a\\b"), std::string("a:b"), std::string("a*"), std::string("a?"),
        std::string("a|b"), std::string("a<b"), std::string("\"q\""),
        std::string(" lead"), std::string("trail "), std::string("dot."),
        std::string("\x7f"), std::string("caf\xc3\xa9"), std::string(256, 'n')}) {
    const auto checked = validate_file_name(bad);
    ASSERT_FALSE(checked.has_value()) << bad;
    EXPECT_EQ(checked.error().kind, ErrorKind::kInvalidInput);
  }
}

TEST(PlainShortName, OnlyUpperCaseEightDotThreeNames) {
  EXPECT_EQ(text(plain_short_name("README.TXT").value()), "README  TXT");
  EXPECT_EQ(text(plain_short_name("KERNEL8").value()), "KERNEL8    ");
  EXPECT_EQ(text(plain_short_name("A-B_C.D").value()), "A-B_C   D  ");
  for (const char* needs_long : {"config.txt", "Readme.TXT", "TOOLONGNAME.TXT", "A.TOOL",
                                 "A.B.C", "A B.TXT", "A+B.TXT", ".HIDDEN", "NAME."}) {
    EXPECT_FALSE(plain_short_name(needs_long).has_value()) << needs_long;
  }
}

TEST(GenerateShortName, AliasesAreExactWhenLosslessAndTailedOtherwise) {
  const auto none = [](const ShortName&) { return false; };
  EXPECT_EQ(text(generate_short_name("config.txt", none).value()), "CONFIG  TXT");
  EXPECT_EQ(text(generate_short_name("A long file name.text", none).value()),
            "ALONGF~1TEX");
  EXPECT_EQ(text(generate_short_name("a+b.txt", none).value()), "A_B~1   TXT");
  EXPECT_EQ(text(generate_short_name("archive.tar.gz", none).value()), "ARCHIV~1GZ ");
  EXPECT_EQ(text(generate_short_name("noext", none).value()), "NOEXT      ");
}

TEST(GenerateShortName, TakenAliases_MoveToTheNextFreeTail) {
  std::set<std::string> taken = {"CONFIG  TXT", "ALONGF~1TEX", "ALONGF~2TEX"};
  const auto is_taken = [&](const ShortName& n) { return taken.count(text(n)) > 0; };
  EXPECT_EQ(text(generate_short_name("Config.txt", is_taken).value()), "CONFIG~1TXT");
  EXPECT_EQ(text(generate_short_name("a long file name.text", is_taken).value()),
            "ALONGF~3TEX");
  for (int n = 1; n <= 9; ++n) taken.insert("LONGNA~" + std::to_string(n) + "TXT");
  // Wider tails eat into the stem so the alias stays eight characters.
  EXPECT_EQ(text(generate_short_name("longnamexx.txt", is_taken).value()), "LONGN~10TXT");
  EXPECT_FALSE(
      generate_short_name("x.txt!", [](const ShortName&) { return true; }).has_value());
}

TEST(LongNameEntries, EncodedRun_DecodesBackWithItsChecksum) {
  const ShortName alias =
      generate_short_name("A long file name.text", [](const ShortName&) {
        return false;
      }).value();
  for (const std::string& name :
       std::vector<std::string>{"config.txt", std::string(13, 'x'), std::string(26, 'y'),
                                std::string(255, 'z'), "A long file name.text"}) {
    const auto run = encode_long_name(name, short_name_checksum(alias));
    EXPECT_EQ(run.size(), (name.size() + 12) / 13) << name;
    DirEntry short_entry;
    short_entry.set_short_name(alias);
    LongNameDecoder decoder;
    for (const DirEntry& e : run) {
      EXPECT_TRUE(e.is_long_name());
      decoder.feed(e);
    }
    const auto decoded = decoder.finish(short_entry);
    ASSERT_TRUE(decoded.has_value()) << name;
    EXPECT_TRUE(long_name_matches(*decoded, name)) << name;
  }
}

TEST(LongNameEntries, DamagedRuns_AreIgnored) {
  const ShortName alias = generate_short_name("some long name.txt", [](const ShortName&) {
                            return false;
                          }).value();
  DirEntry short_entry;
  short_entry.set_short_name(alias);
  const auto run = encode_long_name("some long name.txt", short_name_checksum(alias));
  ASSERT_EQ(run.size(), 2u);

  LongNameDecoder wrong_checksum;
  for (const DirEntry& e : encode_long_name("some long name.txt", 0x12))
    wrong_checksum.feed(e);
  EXPECT_FALSE(wrong_checksum.finish(short_entry).has_value());

  LongNameDecoder missing_first;
  missing_first.feed(run[1]);
  EXPECT_FALSE(missing_first.finish(short_entry).has_value());

  LongNameDecoder reversed;
  reversed.feed(run[1]);
  reversed.feed(run[0]);
  EXPECT_FALSE(reversed.finish(short_entry).has_value());

  LongNameDecoder repeated;  // a sequence number past 1 must not index before the name
  repeated.feed(run[0]);
  repeated.feed(run[1]);
  repeated.feed(run[1]);
  EXPECT_FALSE(repeated.finish(short_entry).has_value());
}

TEST(LongNameMatching, IgnoresAsciiCaseOnly) {
  EXPECT_TRUE(long_name_matches(u"Config.TXT", "config.txt"));
  EXPECT_FALSE(long_name_matches(u"config.txt", "config.tx"));
  EXPECT_FALSE(long_name_matches(u"caf\u00e9", "cafe"));
  EXPECT_EQ(utf16_to_utf8(u"caf\u00e9 \U0001F600"), "caf\xc3\xa9 \xf0\x9f\x98\x80");
  EXPECT_EQ(utf16_to_utf8(std::u16string(1, char16_t{0xD800})), "\xef\xbf\xbd");
}

}  // namespace
}  // namespace fatfs
