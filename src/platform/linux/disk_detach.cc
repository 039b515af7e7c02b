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
#include "platform/linux/disk_unmount.h"
#include "platform/linux/sysfs_attribute.h"

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

Result<void> write_control(UniqueFd fd, const std::string& value,
                           std::string_view context) {
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

Result<void> write_sysfs_control(const std::string& path, const std::string& value,
                                 std::string_view context) {
  UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  return write_control(std::move(fd), value, context);
}

constexpr std::string_view kDiskChanged =
    "The selected disk changed before it could be detached.";

constexpr std::string_view kDepartureUnknown =
    "Could not confirm that the selected disk detached";

HelperError unknown_departure(const SysfsError& error) {
  if (error.os_error != 0) {
    return HelperError::io(codes::kSafeReleaseFailed, kDepartureUnknown, error.os_error);
  }
  return HelperError::io_text(codes::kSafeReleaseFailed, kDepartureUnknown,
                              "sysfs returned an unreadable description.");
}

// True once the disk has gone; an error when sysfs could not tell, which is
// never taken for a departure.
Result<bool> has_departed(const DepartingDisk& disk, const LinuxSystemPaths& paths) {
  if (disk.device_directory != -1) {
    // A removed directory gains no entries, so ENOENT is final.
    struct stat status {};
    const std::string entry = "block/" + disk.kernel_name;
    if (::fstatat(disk.device_directory, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) ==
        0) {
      return false;
    }
    if (errno == ENOENT) return true;
    return fail(HelperError::io(codes::kSafeReleaseFailed, kDepartureUnknown, errno));
  }
  const std::string entry = paths.sysfs_root + "/class/block/" + disk.kernel_name;
  UniqueFd directory(::open(entry.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) {
    if (errno == ENOENT) return true;
    return fail(HelperError::io(codes::kSafeReleaseFailed, kDepartureUnknown, errno));
  }
  const auto device_number = read_sysfs_device_number(directory.get(), "dev");
  if (!device_number) return fail(unknown_departure(device_number.error()));
  const auto disk_sequence = read_sysfs_u64(directory.get(), "diskseq");
  if (!disk_sequence) return fail(unknown_departure(disk_sequence.error()));
  if (*device_number != disk.device_number || *disk_sequence != disk.disk_sequence) {
    return true;
  }
  if (disk.is_loop) {
    // A loop device stays when it is detached; what goes is its "loop"
    // entry, with the backing file.
    struct stat status {};
    if (::fstatat(directory.get(), "loop/backing_file", &status, 0) == 0) return false;
    if (errno == ENOENT) return true;
    return fail(HelperError::io(codes::kSafeReleaseFailed, kDepartureUnknown, errno));
  }
  return false;
}

Result<void> check_pinned_disk(int directory, const DepartingDisk& disk) {
  const std::string block = "block/" + disk.kernel_name + "/";
  const auto device_number = read_sysfs_device_number(directory, block + "dev");
  const auto disk_sequence = read_sysfs_u64(directory, block + "diskseq");
  if (!device_number || !disk_sequence || *device_number != disk.device_number ||
      *disk_sequence != disk.disk_sequence) {
    return fail(codes::kSafeReleaseFailed, std::string(kDiskChanged));
  }
  return {};
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

Result<UniqueFd> pin_disk_device(const DepartingDisk& disk,
                                 const LinuxSystemPaths& paths) {
  const std::string path =
      paths.sysfs_root + "/class/block/" + disk.kernel_name + "/device";
  UniqueFd directory(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return fail(codes::kSafeReleaseFailed, std::string(kDiskChanged));
  RAVIK_RETURN_IF_ERROR(check_pinned_disk(directory.get(), disk));
  return directory;
}

Result<void> remove_scsi_disk(int device_directory) {
  UniqueFd fd(::openat(device_directory, "delete", O_WRONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd && errno == ENOENT) return {};
  return write_control(std::move(fd), "1",
                       "Could not remove the selected disk from the system");
}

std::string mmc_unbind_path(const LinuxSystemPaths& paths) {
  return paths.sysfs_root + "/bus/mmc/drivers/mmcblk/unbind";
}

std::vector<std::string> release_controls_of(std::string_view kernel_name) {
  const LinuxSystemPaths paths;
  return {
      paths.sysfs_root + "/class/block/" + std::string(kernel_name) + "/device/delete",
      mmc_unbind_path(paths)};
}

Result<void> unbind_mmc_card(const DepartingDisk& disk, const std::string& card_name,
                             const LinuxSystemPaths& paths) {
  RAVIK_RETURN_IF_ERROR(check_pinned_disk(disk.device_directory, disk));
  return write_sysfs_control(mmc_unbind_path(paths), card_name,
                             "Could not unbind the selected card from its block driver");
}

Result<void> wait_for_departure(const DepartingDisk& disk, const LinuxSystemPaths& paths,
                                std::chrono::steady_clock::duration limit) {
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const Result<bool> departed = has_departed(disk, paths);
    if (departed && *departed) return {};
    if (std::chrono::steady_clock::now() - start >= limit) {
      if (!departed) return fail(departed.error());
      return fail(codes::kTimeout, std::string(kDeviceOperationTimeout));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

}  // namespace ravik
