// The transaction over the regular-file backend in emulated raw mode: every
// aligned path of the engine and the reads against a real descriptor that
// refuses misaligned transfers.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "io/sha256.h"
#include "platform/file/regular_file_device.h"
#include "support/memory_source.h"
#include "support/temp_dir.h"
#include "transaction/held_transaction.h"

namespace ravik {
namespace {

std::vector<std::uint8_t> file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(EngineOverRegularFile, AlignedRawMode_WriteVerifyReadAndEject) {
  harness::TempDir dir;
  constexpr std::uint64_t kDisk = 4 * 1'048'576;
  const std::string path = dir.write_file("disk.img", std::string(kDisk, '\xEE'));
  const auto image = testing::pattern_bytes(2 * 1'048'576 + 100, 5);

  OpenWriteRequest request;
  request.request_id = "r";
  request.session_id = "s";
  request.task_id = "t";
  request.target.platform = PlatformName::kLinux;
  request.target.device_id = "file0";
  request.target.device_path = path;
  request.target.size_bytes = kDisk;
  request.source.bytes_total = image.size();
  request.source.sha256 = Sha256::hex_of(image);
  request.tail_policy = TailPolicy::kZeroPadSector;
  request.protected_prefix_bytes = 65536;

  DiskIdentity identity;
  identity.platform = DiskPlatform::kLinux;
  identity.device_id = "file0";
  identity.device_path = path;
  identity.size_bytes = kDisk;
  auto device = RegularFileDevice::open(
      identity, {.logical_block_size = 4096, .emulate_raw_alignment = true});
  ASSERT_TRUE(device.has_value()) << device.error().message();
  auto held = HeldTransaction::from_open_request(
      request, std::unique_ptr<HeldDeviceIo>(std::move(*device)), nullptr);
  ASSERT_TRUE(held.has_value()) << held.error().message();

  testing::MemorySource source(image, {1, 4095, 4097, 333'333});
  auto written = held->write_source_with_progress(source, {});
  ASSERT_TRUE(written.has_value()) << written.error().message();
  EXPECT_EQ(written->target_bytes_written, 2 * 1'048'576 + 4096u);

  const auto on_disk = file_bytes(path);
  ASSERT_EQ(on_disk.size(), kDisk);
  EXPECT_TRUE(std::equal(image.begin(), image.end(), on_disk.begin()));
  EXPECT_TRUE(std::all_of(on_disk.begin() + static_cast<std::ptrdiff_t>(image.size()),
                          on_disk.begin() + 2 * 1'048'576 + 4096,
                          [](std::uint8_t byte) { return byte == 0; }));
  EXPECT_EQ(on_disk[2 * 1'048'576 + 4096], 0xEE);

  auto verified = held->verify_with_progress({});
  ASSERT_TRUE(verified.has_value()) << verified.error().message();
  EXPECT_TRUE(verified->matches);

  auto range = held->read_range(4090, 10);
  ASSERT_TRUE(range.has_value()) << range.error().message();
  EXPECT_EQ(*range,
            std::vector<std::uint8_t>(image.begin() + 4090, image.begin() + 4100));

  ASSERT_TRUE(held->eject().has_value());
  EXPECT_TRUE(*held->exact_detach_confirmed());
}

}  // namespace
}  // namespace ravik
