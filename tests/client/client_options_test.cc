#include "client/client_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ravik::client {
namespace {

ParsedCommandLine parse(std::vector<std::string_view> args) {
  return parse_client_command_line(args);
}

TEST(ClientOptionsTest, Parse_MinimalWrite_UsesDefaults) {
  auto parsed = parse({"write", "image.img", "/dev/sdz"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const ClientOptions& o = *parsed.options;
  EXPECT_EQ(o.image_path, "image.img");
  EXPECT_EQ(o.target_path, "/dev/sdz");
  EXPECT_FALSE(o.helper_path);
  EXPECT_EQ(o.protected_prefix_bytes, 0u);
  EXPECT_EQ(o.tail_policy, "exact");
  EXPECT_TRUE(o.verify);
  EXPECT_EQ(o.end, EndCommand::kRelease);
  EXPECT_FALSE(o.json);
  EXPECT_FALSE(o.cancel_after_bytes);
}

TEST(ClientOptionsTest, Parse_EveryOption_IsTakenInAnyOrder) {
  auto parsed =
      parse({"write", "--json", "img", "--helper", "/x/helper", "--protected-prefix",
             "1048576", "--tail", "zero-pad-sector", "--no-verify", "--boot-file",
             "config.txt=local.txt", "--boot-file", "cmdline.txt=c", "--end", "eject",
             "--cancel-after", "4096", "tgt"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const ClientOptions& o = *parsed.options;
  EXPECT_EQ(o.image_path, "img");
  EXPECT_EQ(o.target_path, "tgt");
  EXPECT_EQ(o.helper_path, std::optional<std::string>("/x/helper"));
  EXPECT_EQ(o.protected_prefix_bytes, 1048576u);
  EXPECT_EQ(o.tail_policy, "zero-pad-sector");
  EXPECT_FALSE(o.verify);
  ASSERT_EQ(o.boot_files.size(), 2u);
  EXPECT_EQ(o.boot_files[0].name, "config.txt");
  EXPECT_EQ(o.boot_files[0].local_path, "local.txt");
  EXPECT_EQ(o.boot_files[1].name, "cmdline.txt");
  EXPECT_EQ(o.end, EndCommand::kEject);
  EXPECT_TRUE(o.json);
  EXPECT_EQ(o.cancel_after_bytes, std::optional<std::uint64_t>(4096));
}

struct RefusedCase {
  std::vector<std::string_view> args;
  std::string reason;
};

TEST(ClientOptionsTest, Parse_InvalidCommandLines_AreRefusedWithReason) {
  const std::vector<RefusedCase> cases = {
      {{}, "the first argument must be the command \"write\" or \"recover\""},
      {{"read", "a", "b"},
       "the first argument must be the command \"write\" or \"recover\""},
      {{"recover", "t"}, "recover needs --label LABEL"},
      {{"recover", "t", "--label", "X", "--end", "release"},
       "--end must be eject or close for recover"},
      {{"recover", "t", "--label", "X", "--boot-file", "a=b"},
       "--boot-file does not apply to recover"},
      {{"write", "a", "b", "--label", "X"}, "--label does not apply to write"},
      {{"write", "a"}, "write needs exactly IMAGE and TARGET"},
      {{"write", "a", "b", "c"}, "write needs exactly IMAGE and TARGET"},
      {{"write", "a", "b", "--tail", "padded"},
       "--tail must be exact or zero-pad-sector"},
      {{"write", "a", "b", "--end", "detach"}, "--end must be release, eject or close"},
      {{"write", "a", "b", "--protected-prefix", "-1"},
       "--protected-prefix needs a byte count, not \"-1\""},
      {{"write", "a", "b", "--cancel-after", "12k"},
       "--cancel-after needs a byte count, not \"12k\""},
      {{"write", "a", "b", "--cancel-after", "99999999999999999999"},
       "--cancel-after needs a byte count, not \"99999999999999999999\""},
      {{"write", "a", "b", "--helper"}, "--helper needs a value"},
      {{"write", "a", "b", "--json", "--json"}, "--json was given more than once"},
      {{"write", "a", "b", "--end", "close", "--end", "eject"},
       "--end was given more than once"},
      {{"write", "a", "b", "--boot-file", "config.txt"},
       "--boot-file needs NAME=LOCALFILE"},
      {{"write", "a", "b", "--boot-file", "=x"}, "--boot-file needs NAME=LOCALFILE"},
      {{"write", "a", "b", "--boot-file", "x="}, "--boot-file needs NAME=LOCALFILE"},
      {{"write", "a", "b", "--force"}, "unknown option --force"},
  };
  for (const RefusedCase& c : cases) {
    auto parsed = parse_client_command_line(c.args);
    EXPECT_FALSE(parsed.options) << c.reason;
    EXPECT_EQ(parsed.error, c.reason);
  }
}

}  // namespace
}  // namespace ravik::client
