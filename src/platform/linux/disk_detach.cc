#include "platform/linux/disk_detach.h"

#include <fcntl.h>
#include <linux/loop.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <thread>

#include "io/unique_fd.h"
#include "platform/linux/block_device_description.h"
#include "platform/linux/disk_unmount.h"

namespace ravik {
namespace {

// Two commands are sent; together they stay within the 30-second bound.
constexpr unsigned kScsiTimeoutMs = 15000;

// Returns 0 when the kernel carried the command to the device (whatever the
// device answered), or the errno of the refused request.
int send_scsi_command(int fd, std::array<std::uint8_t, 6> command) {
  std::array<std::uint8_t, 32> sense{};
  sg_io_hdr_t header{};
  header.interface_id = 'S';
  header.dxfer_direction = SG_DXFER_NONE;
  header.cmd_len = static_cast<unsigned char>(command.size());
  header.cmdp = command.data();
  header.mx_sb_len = static_cast<unsigned char>(sense.size());
  header.sbp = sense.data();
  header.timeout = kScsiTimeoutMs;
  return ::ioctl(fd, SG_IO, &header) == 0 ? 0 : errno;
}

Result<void> write_sysfs_control(const std::string& path, const std::string& value,
                                 std::string_view context) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) return fail(HelperError::io(codes::kSafeReleaseFailed, context, errno));
  const ssize_t written = ::write(fd.get(), value.data(), value.size());
  if (written < 0)
    return fail(HelperError::io(codes::kSafeReleaseFailed, context, errno));
  if (static_cast<std::size_t>(written) != value.size()) {
    return fail(HelperError::io_text(codes::kSafeReleaseFailed, context,
                                     "The kernel accepted only part of the request."));
  }
  if (const int error = fd.close_reporting(); error != 0) {
    return fail(HelperError::io(codes::kSafeReleaseFailed, context, error));
  }
  return {};
}

bool has_departed(const DepartingDisk& disk, const LinuxSystemPaths& paths) {
  const auto description = describe_block_device(disk.kernel_name, paths);
  if (!description) {
    return description.error().code() == codes::kDeviceDisconnected;
  }
  if (description->device_number != disk.device_number ||
      description->disk_sequence != disk.disk_sequence) {
    return true;
  }
  if (disk.is_loop) {
    struct stat status {};
    const std::string backing =
        paths.sysfs_root + "/class/block/" + disk.kernel_name + "/loop/backing_file";
    return ::stat(backing.c_str(), &status) != 0 && errno == ENOENT;
  }
  return false;
}

}  // namespace

Result<void> detach_loop_device(int fd) {
  if (::ioctl(fd, LOOP_CLR_FD, 0) != 0) {
    return fail(HelperError::io(codes::kSafeReleaseFailed,
                                "Could not detach the loop device", errno));
  }
  return {};
}

Result<void> stop_and_eject_scsi_disk(int fd) {
  constexpr std::string_view kContext = "Could not stop and eject the selected disk";
  // PREVENT ALLOW MEDIUM REMOVAL with prevent = 0, then START STOP UNIT with
  // LoEj = 1 and Start = 0.
  if (const int error = send_scsi_command(fd, {0x1e, 0, 0, 0, 0x00, 0}); error != 0) {
    return fail(HelperError::io(codes::kSafeReleaseFailed, kContext, error));
  }
  if (const int error = send_scsi_command(fd, {0x1b, 0, 0, 0, 0x02, 0}); error != 0) {
    return fail(HelperError::io(codes::kSafeReleaseFailed, kContext, error));
  }
  return {};
}

Result<void> remove_scsi_disk(const std::string& kernel_name,
                              const LinuxSystemPaths& paths) {
  return write_sysfs_control(
      paths.sysfs_root + "/class/block/" + kernel_name + "/device/delete", "1",
      "Could not remove the selected disk from the system");
}

Result<void> unbind_mmc_card(const std::string& card_name,
                             const LinuxSystemPaths& paths) {
  return write_sysfs_control(paths.sysfs_root + "/bus/mmc/drivers/mmcblk/unbind",
                             card_name,
                             "Could not unbind the selected card from its block driver");
}

Result<void> wait_for_departure(const DepartingDisk& disk, const LinuxSystemPaths& paths,
                                std::chrono::steady_clock::duration limit) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (has_departed(disk, paths)) return {};
    if (std::chrono::steady_clock::now() - start >= limit) {
      return fail(codes::kTimeout, std::string(kDeviceOperationTimeout));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace ravik
