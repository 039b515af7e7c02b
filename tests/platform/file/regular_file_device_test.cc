#include "platform/file/regular_file_device.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/expect_error.h"
#include "support/temp_dir.h"

namespace ravik {
namespace {

constexpr std::string_view kClosedMessage =
    "Raw target is no longer open: The held raw target is closed.";

DiskIdentity identity_for(const std::string& path, std::uint64_t size) {
  DiskIdentity identity;
  identity.platform = DiskPlatform::kLinux;
  identity.device_id = "file0";
  identity.device_path = path;
  identity.size_bytes = size;
  return identity;
}

SelectedDisk target_for(const std::string& path, std::uint64_t size) {
  SelectedDisk target;
  target.platform = DiskPlatform::kLinux;
  target.device_id = "image";
  target.device_path = path;
  target.size_bytes = size;
  target.serial = "SERIAL-1";
  return target;
}

std::string make_file(const harness::TempDir& dir, std::string_view name,
                      std::size_t size, char fill = 'x') {
  return dir.write_file(name, std::string(size, fill));
}

using testing::expect_error;

TEST(RegularFileDevice, OpenRefusesWhatIsNotTheSelectedRegularFile) {
  harness::TempDir dir;
  const std::string path = make_file(dir, "disk.img", 8192);

  expect_error(RegularFileDevice::open(identity_for(path, 8191), {}),
               "DEVICE_NOT_REMOVABLE",
               "The regular-file target size does not match the selected size.");
  expect_error(RegularFileDevice::open(identity_for("disk.img", 8192), {}),
               "DEVICE_NOT_REMOVABLE",
               "The regular-file target must be named by an absolute path.");
  auto directory = RegularFileDevice::open(identity_for(dir.path(), 8192), {});
  ASSERT_FALSE(directory.has_value());
  EXPECT_EQ(directory.error().code().text(), "DEVICE_NOT_REMOVABLE");
  auto missing = RegularFileDevice::open(identity_for(dir.file("missing"), 8192), {});
  ASSERT_FALSE(missing.has_value());
  EXPECT_TRUE(
      missing.error().message().starts_with("Could not open the regular-file target: "));

  // A link planted at the path is not followed.
  const std::string link = dir.file("link.img");
  ASSERT_EQ(::symlink(path.c_str(), link.c_str()), 0);
  auto linked = RegularFileDevice::open(identity_for(link, 8192), {});
  ASSERT_FALSE(linked.has_value());
  EXPECT_EQ(linked.error().code().text(), "DEVICE_NOT_REMOVABLE");

  // A FIFO is refused without blocking the open.
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  expect_error(RegularFileDevice::open(identity_for(fifo, 0), {}), "DEVICE_NOT_REMOVABLE",
               "The target path is not a regular file.");

  expect_error(
      RegularFileDevice::open(identity_for(path, 8192), {.logical_block_size = 4096 + 512,
                                                         .emulate_raw_alignment = true}),
      "DEVICE_NOT_REMOVABLE", "The regular-file target needs a power-of-two block size.");
  const std::string odd = make_file(dir, "odd.img", 5000);
  expect_error(
      RegularFileDevice::open(identity_for(odd, 5000), {.logical_block_size = 4096,
                                                        .emulate_raw_alignment = true}),
      "DEVICE_NOT_REMOVABLE", "The regular-file target is not a whole number of blocks.");
}

TEST(RegularFileDevice, HeldExclusively_SecondHolderRefusedUntilReleased) {
  harness::TempDir dir;
  const std::string path = make_file(dir, "disk.img", 4096);
  auto first = RegularFileDevice::open(identity_for(path, 4096), {});
  ASSERT_TRUE(first.has_value()) << first.error().message();
  expect_error(RegularFileDevice::open(identity_for(path, 4096), {}),
               "DEVICE_NOT_REMOVABLE",
               "The regular-file target is held by another process.");
  first->reset();
  EXPECT_TRUE(RegularFileDevice::open(identity_for(path, 4096), {}).has_value());
}

TEST(RegularFileDevice, ByteIoGeometryAndNoGrowth) {
  harness::TempDir dir;
  const std::string path = make_file(dir, "disk.img", 4096);
  auto device = RegularFileDevice::open(identity_for(path, 4096), {});
  ASSERT_TRUE(device.has_value());
  HeldDeviceIo& io = **device;
  EXPECT_EQ(io.capacity(), 4096u);
  EXPECT_EQ(io.logical_block_size(), 512u);
  EXPECT_FALSE(io.requires_aligned_io());
  EXPECT_FALSE(*io.exact_detach_confirmed());

  const std::vector<std::uint8_t> data{1, 2, 3, 4, 5};
  ASSERT_EQ(*io.seek(SeekFrom::start(100)), 100u);
  ASSERT_TRUE(io.write_all(data));
  EXPECT_EQ(*io.seek(SeekFrom::current(-5)), 100u);
  std::vector<std::uint8_t> back(5);
  ASSERT_TRUE(io.read_exact(back));
  EXPECT_EQ(back, data);
  EXPECT_TRUE(io.flush().has_value());
  EXPECT_TRUE(io.sync_all().has_value());

  // The end of the disk: reads end, writes find no space, the file keeps
  // its size.
  EXPECT_EQ(*io.seek(SeekFrom::end(-2)), 4094u);
  EXPECT_EQ(*io.write(data), 2u);
  auto full = io.write(data);
  ASSERT_FALSE(full.has_value());
  EXPECT_EQ(full.error().os_error, ENOSPC);
  std::vector<std::uint8_t> beyond(10);
  EXPECT_EQ(*io.read(beyond), 0u);
  struct stat status {};
  ASSERT_EQ(::stat(path.c_str(), &status), 0);
  EXPECT_EQ(status.st_size, 4096);
  EXPECT_FALSE(io.seek(SeekFrom::current(-10'000)).has_value());
}

TEST(RegularFileDevice, EmulatedRawMode_RefusesMisalignedTransfersWithEinval) {
  harness::TempDir dir;
  const std::string path = make_file(dir, "disk.img", 16384);
  auto device = RegularFileDevice::open(
      identity_for(path, 16384),
      {.logical_block_size = 4096, .emulate_raw_alignment = true});
  ASSERT_TRUE(device.has_value());
  HeldDeviceIo& io = **device;
  EXPECT_TRUE(io.requires_aligned_io());
  EXPECT_EQ(io.logical_block_size(), 4096u);
  std::vector<std::uint8_t> block(4096, 7);
  std::vector<std::uint8_t> partial(100);
  ASSERT_TRUE(io.seek(SeekFrom::start(4096)));
  EXPECT_EQ(io.read(partial).error().os_error, EINVAL);
  ASSERT_TRUE(io.seek(SeekFrom::start(10)));
  EXPECT_EQ(io.read(block).error().os_error, EINVAL);
  EXPECT_EQ(io.write(block).error().os_error, EINVAL);
  ASSERT_TRUE(io.seek(SeekFrom::start(8192)));
  EXPECT_EQ(*io.write(block), 4096u);
  ASSERT_TRUE(io.seek(SeekFrom::start(8192)));
  std::vector<std::uint8_t> back(4096);
  EXPECT_EQ(*io.read(back), 4096u);
  EXPECT_EQ(back, block);
}

TEST(RegularFileDevice, IdentityProof_DetectsReplacedLinkedOrTruncatedFile) {
  harness::TempDir dir;
  const std::string path = make_file(dir, "disk.img", 4096);
  const std::string other = make_file(dir, "other.img", 4096);
  const std::string saved = dir.file("saved.img");
  const std::string disconnected =
      "The held regular-file target no longer is the selected file.";
  {
    auto device = RegularFileDevice::open(identity_for(path, 4096), {});
    ASSERT_TRUE(device.has_value());
    EXPECT_TRUE((*device)->verify_current_identity().has_value());
    // Another file put in its place.
    ASSERT_EQ(::rename(path.c_str(), saved.c_str()), 0);
    ASSERT_EQ(::link(other.c_str(), path.c_str()), 0);
    expect_error((*device)->verify_current_identity(), "DEVICE_DISCONNECTED",
                 disconnected);
    EXPECT_EQ((*device)->capacity(), 4096u);
    // A link to the very file is not the file's own name.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::symlink(saved.c_str(), path.c_str()), 0);
    expect_error((*device)->verify_current_identity(), "DEVICE_DISCONNECTED",
                 disconnected);
    // Gone altogether.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    auto gone = (*device)->verify_current_identity();
    ASSERT_FALSE(gone.has_value());
    EXPECT_EQ(gone.error().code().text(), "DEVICE_DISCONNECTED");
    // Back in place, then shrunk behind the holder's back.
    ASSERT_EQ(::rename(saved.c_str(), path.c_str()), 0);
    EXPECT_TRUE((*device)->verify_current_identity().has_value());
    ASSERT_EQ(::truncate(path.c_str(), 2048), 0);
    expect_error((*device)->verify_current_identity(), "DEVICE_DISCONNECTED",
                 disconnected);
    EXPECT_EQ((*device)->capacity(), 4096u);
  }
}

TEST(RegularFileDevice, Eject_ClosesSetsDetachAndClosedDeviceRefusesEverything) {
  harness::TempDir dir;
  const std::string path = make_file(dir, "disk.img", 4096);
  auto device = RegularFileDevice::open(identity_for(path, 4096), {});
  ASSERT_TRUE(device.has_value());
  HeldDeviceIo& io = **device;
  ASSERT_TRUE(io.eject().has_value());
  EXPECT_TRUE(*io.exact_detach_confirmed());

  std::vector<std::uint8_t> buffer(16);
  EXPECT_EQ(io.read(buffer).error().text, "The held raw target is closed.");
  EXPECT_EQ(io.write(buffer).error().text, "The held raw target is closed.");
  EXPECT_EQ(io.flush().error().text, "The held raw target is closed.");
  EXPECT_EQ(io.seek(SeekFrom::start(0)).error().text, "The held raw target is closed.");
  EXPECT_EQ(io.read(std::span<std::uint8_t>()).error().text,
            "The held raw target is closed.");
  expect_error(io.sync_all(), "WRITE_FAILED", kClosedMessage);
  expect_error(io.verify_current_identity(), "DEVICE_DISCONNECTED", kClosedMessage);
  expect_error(io.eject(), "DEVICE_DISCONNECTED", kClosedMessage);
  EXPECT_EQ(io.capacity(), 4096u);
  // The lock went with the descriptor.
  EXPECT_TRUE(RegularFileDevice::open(identity_for(path, 4096), {}).has_value());
}

TEST(OpenRegularFileTarget, IdentityCarriesRequestAndReportsHeldWholeDevice) {
  harness::TempDir dir;
  const std::string path = make_file(dir, "disk.img", 1024);
  auto device = open_regular_file_target(target_for(path, 1024));
  ASSERT_TRUE(device.has_value()) << device.error().message();
  const DiskIdentity& identity = (*device)->identity();
  EXPECT_EQ(identity.platform, DiskPlatform::kLinux);
  EXPECT_EQ(identity.device_id, "image");
  EXPECT_EQ(identity.device_path, path);
  EXPECT_EQ(identity.size_bytes, 1024u);
  EXPECT_EQ(identity.serial, "SERIAL-1");
  EXPECT_TRUE(identity.removable);
  EXPECT_TRUE(identity.writable);
  EXPECT_FALSE(identity.mounted);
  EXPECT_TRUE(identity.whole_device);
  EXPECT_FALSE(open_regular_file_target(target_for(path, 1023)).has_value());
}

}  // namespace
}  // namespace ravik
