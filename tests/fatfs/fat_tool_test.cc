// ravik-fat-tool as a user runs it: on a whole image and on a partition
// inside one, with errors as one line and exit status 1.
#include <gtest/gtest.h>

#include <string>

#include "fat_test_support.h"

namespace fatfs_test {
namespace {

const std::string kTool = RAVIK_FAT_TOOL;

CommandResult tool(const std::string& args) { return run(quote(kTool) + " " + args); }

TEST(FatTool, PartitionInsideAnImage_FormatsPutsListsCatsAndTruncates) {
  TempDir dir;
  const std::string image = dir.file("disk.img");
  make_sparse_file(image, (1 << 20) + 40 * (1 << 20) + 4096);
  const std::string target = quote(image) + "@1048576+" + std::to_string(40 << 20);
  const std::string local = dir.file("local.txt");
  write_local_file(local, pattern_bytes(3000, 4));

  ASSERT_EQ(tool(target + " format PART1").status, 0);
  ASSERT_EQ(tool(target + " put cmdline.txt " + quote(local)).status, 0);
  const CommandResult listing = tool(target + " ls");
  EXPECT_EQ(listing.status, 0);
  EXPECT_NE(listing.output.find("3000 cmdline.txt"), std::string::npos) << listing.output;
  const CommandResult cat = tool(target + " cat CMDLINE.TXT");
  EXPECT_EQ(
      cat.output,
      std::string(reinterpret_cast<const char*>(pattern_bytes(3000, 4).data()), 3000));

  // mtools sees the same partition at the same offset.
  const CommandResult mdir = run("mdir -i " + quote(image + "@@1M") + " ::");
  EXPECT_NE(mdir.output.find("cmdline.txt"), std::string::npos) << mdir.output;
  ASSERT_EQ(tool(target + " truncate cmdline.txt").status, 0);
  EXPECT_EQ(tool(target + " cat cmdline.txt").output, "");
  // Nothing before the partition was touched.
  const auto bytes = read_local_file(image);
  for (std::size_t i = 0; i < (1 << 20); ++i) ASSERT_EQ(bytes[i], 0) << i;
}

TEST(FatTool, Failures_PrintOneLineAndExitOne) {
  TempDir dir;
  const std::string image = dir.file("small.img");
  make_sparse_file(image, 40 << 20);
  ASSERT_EQ(tool(quote(image) + " format SMALL").status, 0);
  const struct {
    std::string args;
    std::string message;
  } cases[] = {
      {quote(image) + " cat missing.txt",
       "ravik-fat-tool: cannot open missing.txt: the root directory has no file named "
       "\"missing.txt\"\n"},
      {quote(image) + "@12x ls",
       "ravik-fat-tool: bad image argument: \"12x\" is not a decimal byte count\n"},
      {quote(image) + "@0+99999999999 ls",
       "ravik-fat-tool: cannot open the image: the byte range runs beyond the end of " +
           image + "\n"},
      {quote(image) + "@0+1048576 format SMALL",
       "ravik-fat-tool: cannot format the volume: the volume of 1048576 bytes is too "
       "small for "
       "FAT32, which needs at least 34089472 bytes\n"},
      {quote(image) + " format lower",
       "ravik-fat-tool: cannot format the volume: volume labels must be 1 to 11 "
       "upper-case "
       "printable ASCII characters without \"*+,./:;<=>?[\\]| or a leading space\n"},
      {quote(image) + "@1024 ls",
       "ravik-fat-tool: cannot mount the volume: the boot sector lacks the 0x55 0xAA "
       "signature\n"},
  };
  for (const auto& c : cases) {
    const CommandResult result = tool(c.args);
    EXPECT_EQ(result.status, 1) << c.args;
    EXPECT_EQ(result.output, c.message) << c.args;
  }
  const CommandResult usage = tool(quote(image) + " frobnicate");
  EXPECT_EQ(usage.status, 1);
  EXPECT_EQ(usage.output.rfind("ravik-fat-tool: usage: ", 0), 0u) << usage.output;
}

}  // namespace
}  // namespace fatfs_test
