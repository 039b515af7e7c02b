// The byte-stream helpers every backend inherits.
#include "platform/held_device_io.h"

#include <gtest/gtest.h>

#include "support/fault_injecting_device.h"

namespace ravik::testing {
namespace {

TEST(HeldDeviceIoHelpers, ReadExactAndWriteAll_LoopOverShortAndInterruptedTransfers) {
  auto disk = std::make_shared<FakeDisk>(1000);
  for (std::size_t i = 0; i < disk->bytes.size(); ++i) {
    disk->bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
  }
  FaultInjectingDevice device(disk);
  disk->read_faults = {{.offset = 10, .kind = FaultKind::kInterrupted, .times = 2},
                       {.offset = 10, .kind = FaultKind::kShort, .short_length = 3}};
  std::vector<std::uint8_t> buffer(100);
  ASSERT_TRUE(device.seek(SeekFrom::start(10)));
  ASSERT_TRUE(device.read_exact(buffer));
  EXPECT_TRUE(std::equal(buffer.begin(), buffer.end(), disk->bytes.begin() + 10));

  // The end of the device inside the request.
  ASSERT_TRUE(device.seek(SeekFrom::start(950)));
  auto short_end = device.read_exact(buffer);
  ASSERT_FALSE(short_end.has_value());
  EXPECT_EQ(short_end.error().kind, IoErrorKind::kUnexpectedEof);

  disk->write_faults = {{.offset = 0, .kind = FaultKind::kInterrupted},
                        {.offset = 0, .kind = FaultKind::kShort, .short_length = 1}};
  const std::vector<std::uint8_t> data(50, 0xAB);
  ASSERT_TRUE(device.seek(SeekFrom::start(0)));
  ASSERT_TRUE(device.write_all(data));
  EXPECT_EQ(disk->writes.size(), 2u);
  EXPECT_TRUE(std::all_of(disk->bytes.begin(), disk->bytes.begin() + 50,
                          [](std::uint8_t byte) { return byte == 0xAB; }));

  disk->write_faults = {{.offset = 0, .kind = FaultKind::kZero}};
  ASSERT_TRUE(device.seek(SeekFrom::start(0)));
  EXPECT_FALSE(device.write_all(data).has_value());
  disk->write_faults = {{.offset = 0, .kind = FaultKind::kFail, .os_error = EIO}};
  ASSERT_TRUE(device.seek(SeekFrom::start(0)));
  EXPECT_EQ(device.write_all(data).error().os_error, EIO);
}

TEST(HeldDeviceIoHelpers, ClosedTargetTexts) {
  EXPECT_EQ(closed_target_io_error().text, "The held raw target is closed.");
  EXPECT_EQ(closed_target_io_error().describe(), "The held raw target is closed.");
  const HelperError error = closed_target_error(codes::kWriteFailed);
  EXPECT_EQ(error.code().text(), "WRITE_FAILED");
  EXPECT_EQ(error.message(),
            "Raw target is no longer open: The held raw target is closed.");
}

}  // namespace
}  // namespace ravik::testing
