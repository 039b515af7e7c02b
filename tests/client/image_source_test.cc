// The client's image reader on damaged and ambiguous inputs; the intact
// formats are written end to end in client_e2e_test.
#include "job/image_source.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <vector>

#include "support/child_process.h"
#include "support/pattern_bytes.h"
#include "support/temp_dir.h"

namespace ravik::job {
namespace {

// Runs a compression tool of the system; the test's oracle for the formats.
void run_tool(const std::string& tool, const std::vector<std::string>& args) {
  auto done = harness::run_child("/usr/bin/" + tool, args);
  ASSERT_TRUE(done) << done.error();
  ASSERT_EQ(done->status, harness::ExitStatus::exited_with(0)) << done->stderr_text;
}

std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), {}};
}

Result<std::string> read_all(const std::string& path) {
  RAVIK_ASSIGN_OR_RETURN(std::unique_ptr<ImageSource> source, open_image_source(path));
  std::string bytes;
  std::vector<std::uint8_t> buffer(1 << 20);
  for (;;) {
    RAVIK_ASSIGN_OR_RETURN(const std::size_t count, source->read(buffer));
    if (count == 0) return bytes;
    bytes.append(reinterpret_cast<const char*>(buffer.data()), count);
  }
}

TEST(ImageSourceTest, TruncatedOrCorruptFiles_FailInsteadOfEndingEarly) {
  harness::TempDir dir;
  const std::string image = testing::pattern_text(3 * 1024 * 1024);
  const std::string raw = dir.write_file("image.img", image);
  run_tool("xz", {"-1", "-k", raw});
  run_tool("zstd", {"-q", "-k", raw});
  run_tool("gzip", {"-k", raw});
  run_tool("bzip2", {"-k", raw});
  run_tool("zip", {"-q", "-j", dir.path() + "/image.zip", raw});
  for (const std::string suffix : {".xz", ".zst", ".gz", ".bz2"}) {
    const std::string whole = read_file(raw + suffix);
    auto intact = read_all(raw + suffix);
    ASSERT_TRUE(intact) << suffix << ": " << intact.error();
    EXPECT_EQ(*intact, image) << suffix;
    for (const std::size_t keep : {whole.size() / 2, whole.size() - 1}) {
      const std::string cut = dir.write_file("cut" + suffix, whole.substr(0, keep));
      EXPECT_FALSE(read_all(cut)) << suffix << " cut to " << keep;
    }
  }
  // The trailer's CRC-32 is the only check a damaged deflate stream may
  // meet, so the damage sits where it still decodes: the trailer itself.
  std::string gzip = read_file(raw + ".gz");
  gzip[gzip.size() - 6] ^= 0x55;
  auto corrupt = read_all(dir.write_file("corrupt.gz", gzip));
  ASSERT_FALSE(corrupt);
  EXPECT_EQ(corrupt.error().message(),
            "The gzip image is damaged or unreadable (decompressing): incorrect data "
            "check.");
  std::string zip = read_file(dir.path() + "/image.zip");
  EXPECT_TRUE(read_all(dir.path() + "/image.zip"));
  zip[zip.size() / 2] ^= 0x55;
  EXPECT_FALSE(read_all(dir.write_file("corrupt.zip", zip)));
}

TEST(ImageSourceTest, ZipMustHoldExactlyOneFile) {
  harness::TempDir dir;
  const std::string a = dir.write_file("a.img", testing::pattern_text(4096));
  const std::string b = dir.write_file("b.img", testing::pattern_text(8192));
  run_tool("zip", {"-q", "-j", dir.path() + "/two.zip", a, b});
  auto two = open_image_source(dir.path() + "/two.zip");
  ASSERT_FALSE(two);
  EXPECT_EQ(two.error().message(),
            "The zip archive holds several entries; only a zip holding exactly one image "
            "can be written.");
  const std::string folder = dir.path() + "/folder.zip";
  run_tool("python3", {"-c",
                       "import sys, zipfile\n"
                       "zipfile.ZipFile(sys.argv[1], 'w').writestr('disk/', '')",
                       folder});
  auto directory = open_image_source(folder);
  ASSERT_FALSE(directory);
  EXPECT_EQ(directory.error().message(),
            "The zip archive's only entry, disk/, is not a file.");
}

TEST(ImageSourceTest, DetectionIsByContent) {
  harness::TempDir dir;
  // A raw image named like a compressed one stays raw and is read as it is.
  const std::string raw = dir.write_file("disk.img.xz", testing::pattern_text(70000));
  auto source = open_image_source(raw);
  ASSERT_TRUE(source) << source.error();
  EXPECT_EQ((*source)->format(), ImageFormat::kRaw);
  auto recorded = (*source)->recorded_size();
  ASSERT_TRUE(recorded) << recorded.error();
  EXPECT_EQ(*recorded, 70000u);
  EXPECT_EQ(read_all(raw).value_or(""), testing::pattern_text(70000));
  // Magic bytes followed by garbage are a damaged file, never a raw image.
  for (const std::string& head : {std::string("\x1f\x8b\x08\0\0\0\0\0\0\x03", 10),
                                  std::string("\xfd"
                                              "7zXZ\0junk",
                                              10),
                                  std::string("\x28\xb5\x2f\xfdjunkjunk", 12)}) {
    EXPECT_FALSE(read_all(dir.write_file("fake", head + testing::pattern_text(1000))));
  }
  // A bzip2 stream's first bytes need the block magic after "BZh1".
  EXPECT_EQ(detect_image_format(std::vector<std::uint8_t>{'B', 'Z', 'h', '9', 'x', 'x',
                                                          'x', 'x', 'x', 'x'}),
            ImageFormat::kRaw);
}

}  // namespace
}  // namespace ravik::job
