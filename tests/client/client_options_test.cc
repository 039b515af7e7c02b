#include "cli/client_options.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "job/checksum_file.h"
#include "support/temp_dir.h"

namespace ravik::cli {
using namespace ravik::job;
namespace {

ParsedCommandLine parse(std::vector<std::string_view> args) {
  return parse_client_command_line(args);
}

TEST(ClientOptionsTest, Parse_MinimalWrite_UsesDefaults) {
  auto parsed = parse({"write", "image.img", "/dev/sdz"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const JobOptions& o = *parsed.options;
  EXPECT_EQ(o.image_path, "image.img");
  EXPECT_EQ(o.target_path, "/dev/sdz");
  EXPECT_FALSE(o.helper_path);
  EXPECT_FALSE(o.protected_prefix_bytes);
  EXPECT_EQ(o.tail_policy, "exact");
  EXPECT_TRUE(o.verify);
  EXPECT_EQ(o.end, EndCommand::kRelease);
  EXPECT_FALSE(o.json);
  EXPECT_FALSE(o.cancel_after_bytes);
  EXPECT_EQ(o.elevation, Elevation::kAuto);
  for (const auto& [word, elevation] :
       {std::pair{"sudo", Elevation::kSudo}, std::pair{"pkexec", Elevation::kPkexec}}) {
    auto chosen = parse({"recover", "/dev/sdz", "--elevate", word});
    ASSERT_TRUE(chosen.options) << chosen.error;
    EXPECT_EQ(chosen.options->elevation, elevation);
  }
}

TEST(ClientOptionsTest, Parse_EveryOption_IsTakenInAnyOrder) {
  auto parsed =
      parse({"write", "--json", "img", "--helper", "/x/helper", "--protected-prefix",
             "1048576", "--tail", "zero-pad-sector", "--no-verify", "--boot-file",
             "config.txt=local.txt", "--boot-file", "cmdline.txt=c", "--end", "eject",
             "--cancel-after", "4096", "tgt"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  const JobOptions& o = *parsed.options;
  EXPECT_EQ(o.image_path, "img");
  EXPECT_EQ(o.target_path, "tgt");
  EXPECT_EQ(o.helper_path, std::optional<std::string>("/x/helper"));
  EXPECT_EQ(o.protected_prefix_bytes, std::optional<std::uint64_t>(1048576));
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

TEST(ClientOptionsTest, Parse_SeveralTargets_AreWrittenAtOnce) {
  auto parsed =
      parse({"write", "img", "/dev/sdx", "--no-verify", "/dev/sdy", "/dev/sdz"});
  ASSERT_TRUE(parsed.options) << parsed.error;
  EXPECT_EQ(parsed.options->target_path, "/dev/sdx");
  EXPECT_EQ(parsed.options->more_target_paths,
            (std::vector<std::string>{"/dev/sdy", "/dev/sdz"}));
  EXPECT_TRUE(parse({"write", "img", "/dev/sdx"}).options->more_target_paths.empty());
}

// FAT keeps labels upper-case, so a lower-case one means the same; without
// --label the disk gets a plain default.
TEST(ClientOptionsTest, Parse_Recover_UpperCasesTheLabelAndHasADefault) {
  auto typed = parse({"recover", "/dev/sdx", "--label", "my stick"});
  ASSERT_TRUE(typed.options) << typed.error;
  EXPECT_EQ(typed.options->volume_label, "MY STICK");
  auto plain = parse({"recover", "/dev/sdx"});
  ASSERT_TRUE(plain.options) << plain.error;
  EXPECT_EQ(plain.options->volume_label, "USB DISK");
}

struct RefusedCase {
  std::vector<std::string_view> args;
  std::string reason;
};

TEST(ClientOptionsTest, Parse_InvalidCommandLines_AreRefusedWithReason) {
  const std::vector<RefusedCase> cases = {
      {{}, "A subcommand is required"},
      {{"read", "a", "b"}, "there is no command \"read\""},
      {{"recover", "t", "--label", "A*B"},
       "--label needs 1 to 11 characters: upper-case letters, digits, blanks inside and "
       "punctuation other than \"*+,./:;<=>?[\\]|"},
      {{"recover", "t", "--label", "X", "--end", "release"},
       "--end must be eject or close for recover"},
      {{"recover", "t", "--label", "X", "--boot-file", "a=b"},
       "The following arguments were not expected: a=b --boot-file"},
      {{"write", "a"}, "TARGET is required"},
      {{"write", "a", "b", "c", "--read-boot-file", "x"},
       "--read-boot-file takes one TARGET"},
      {{"write", "a", "b", "--tail", "padded"},
       "--tail: padded not in {exact,zero-pad-sector}"},
      {{"write", "a", "b", "--end", "detach"}, "--end must be release, eject or close"},
      {{"write", "a", "b", "--protected-prefix", "-1"},
       "--protected-prefix needs a byte count, not \"-1\""},
      {{"write", "a", "b", "--cancel-after", "99999999999999999999"},
       "--cancel-after needs a byte count, not \"99999999999999999999\""},
      {{"write", "a", "b", "--helper"}, "--helper: 1 required PATH missing"},
      {{"write", "a", "b", "--end", "close", "--end", "eject"},
       "--end: At Most 1 required but received 2"},
      {{"write", "a", "b", "--boot-file", "=x"}, "--boot-file needs NAME=LOCALFILE"},
      {{"write", "a", "b", "--sha256", "ABC"}, "--sha256 needs 64 hexadecimal digits"},
      {{"write", "a", "b", "--force"},
       "The following argument was not expected: --force"},
      {{"help", "nope"}, "there is no command \"nope\""},
      {{"write", "a", "b", "--elevate", "su"}, "--elevate must be sudo or pkexec"},
  };
  for (const RefusedCase& c : cases) {
    auto parsed = parse_client_command_line(c.args);
    EXPECT_FALSE(parsed.options) << c.reason;
    EXPECT_EQ(parsed.error, c.reason);
  }
}

TEST(ClientOptionsTest, HelpAndVersion_AreTextToPrintNotOptions) {
  for (const std::vector<std::string_view>& args :
       {std::vector<std::string_view>{"--help"},
        {"help"},
        {"help", "write"},
        {"write", "--help"},
        {"--version"}}) {
    auto parsed = parse(args);
    EXPECT_FALSE(parsed.options);
    EXPECT_EQ(parsed.error, "");
    EXPECT_FALSE(parsed.requested_text.empty());
  }
  const std::string write_help = parse({"help", "write"}).requested_text;
  EXPECT_NE(write_help.find("--sha256 HEX"), std::string::npos);
  EXPECT_NE(write_help.find("Usage: ravik-device-client write [OPTIONS]"),
            std::string::npos);
  EXPECT_NE(write_help.find("release (default)"), std::string::npos);
  EXPECT_NE(parse({"recover", "--help"}).requested_text.find("eject (default)"),
            std::string::npos);
  EXPECT_EQ(write_help.find("--cancel-after"), std::string::npos);
  EXPECT_NE(parse({"--help"}).requested_text.find("list"), std::string::npos);
  // What a newcomer acts on: examples, the erasure, the exit statuses.
  EXPECT_NE(write_help.find("Examples:\n  ravik-device-client list\n"),
            std::string::npos);
  EXPECT_NE(write_help.find("Everything on TARGET is erased"), std::string::npos);
  EXPECT_NE(
      parse({"--help"})
          .requested_text.find("Exit status: 0 when every disk was written and verified"),
      std::string::npos);
  EXPECT_TRUE(parse({"--version"}).requested_text.starts_with("ravik-device-client "));
}

TEST(ClientOptionsTest, Parse_ListVerifyAndDigest) {
  const std::string digest(64, 'a');
  // Published digests come in either case; the helper takes lower case.
  auto verify = parse({"verify", "img", "tgt", "--sha256", std::string(64, 'A')});
  ASSERT_TRUE(verify.options) << verify.error;
  EXPECT_EQ(verify.options->command, ClientCommand::kVerify);
  EXPECT_EQ(verify.options->sha256, digest);
  auto list = parse({"list", "--all", "--json"});
  ASSERT_TRUE(list.options) << list.error;
  EXPECT_EQ(list.options->command, ClientCommand::kList);
  EXPECT_TRUE(list.options->list_all);
  EXPECT_TRUE(list.options->json);
}

// A checksum file names a file as `sha256sum -c` run in its folder would
// find it: sha256sum lines in text or binary mode, escaped names, BSD tags
// (also dash-escaped in a clear-signed text), either case, CRLF or not.
// "sub/disk.img" is not "disk.img"; two digests for one file are refused;
// "-" takes a lone digest.
TEST(ClientOptionsTest, DigestForImage_FindsTheLineThatNamesTheImage) {
  const harness::TempDir dir;
  const std::string image = dir.write_file("disk.img", "x");
  std::filesystem::create_directory(dir.file("sub"));
  (void)dir.write_file("sub/disk.img", "y");
  const std::string a(64, 'a');
  const std::string b(64, 'B');
  const std::string folder = dir.path();
  EXPECT_EQ(digest_for_image("garbage line\r\n" + a + "  other.img\r\n" + b +
                                 " *sub/disk.img\r\n" + a + " *disk.img\n",
                             folder, image),
            a);
  EXPECT_EQ(digest_for_image(b + "  ./disk.img\n", folder, image), std::string(64, 'b'));
  EXPECT_EQ(digest_for_image("- SHA256 (disk.img) = " + b + "\r\n", folder, image),
            std::string(64, 'b'));
  EXPECT_EQ(digest_for_image("\\" + a + "  disk\\.img\n", folder, image), a);
  EXPECT_EQ(digest_for_image("\\" + a + "  disk\\\\.img\n", folder, image).error(),
            "it holds no SHA-256 line naming " + image +
                " (names are read relative to the checksum file's folder)");
  EXPECT_EQ(digest_for_image(b + "  sub/disk.img\n", folder, image).error(),
            "it holds no SHA-256 line naming " + image +
                " (names are read relative to the checksum file's folder)");
  EXPECT_FALSE(digest_for_image(b + "  disk.img\n", folder + "/sub", image));
  EXPECT_EQ(
      digest_for_image(a + "  disk.img\nSHA256 (disk.img) = " + b + "\n", folder, image)
          .error(),
      "it gives " + image +
          " two different digests; which one is published cannot be told");
  EXPECT_EQ(digest_for_image(a + "  disk.img\n" + a + "  ./disk.img\n", folder, image),
            a);
  EXPECT_FALSE(
      digest_for_image(a + "  disk.img\n" + b + "  sub/disk.img\n", folder, "-"));
  EXPECT_EQ(digest_for_image(b + "  disk.img\n", folder, "-"), std::string(64, 'b'));
  EXPECT_FALSE(digest_for_image(std::string(63, 'a') + "   disk.img\n", folder, image));
}

}  // namespace
}  // namespace ravik::cli
