#include "platform/linux/linux_held_device.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

#include "platform/linux/block_device_node.h"
#include "platform/linux/disk_detach.h"
#include "platform/linux/disk_unmount.h"

namespace ravik {
namespace {

constexpr std::string_view kClaimLost =
    "The exclusive claim on the selected disk is no longer held.";
constexpr std::string_view kIdentityChanged = "The held raw target identity changed.";

std::unexpected<IoError> io_failure(int error) {
  return std::unexpected(IoError::from_errno(error));
}

}  // namespace

LinuxHeldDevice::LinuxHeldDevice(LinuxHeldDeviceState state) : state_(std::move(state)) {}

bool LinuxHeldDevice::needs_bounce(const void* data, std::size_t length) const {
  const std::size_t block = static_cast<std::size_t>(logical_block_size());
  return length % block == 0 && !is_aligned(data, block);
}

std::span<std::uint8_t> LinuxHeldDevice::bounce_buffer(std::size_t length) {
  if (bounce_.empty()) {
    bounce_ =
        AlignedBuffer(static_cast<std::size_t>(logical_block_size()), kBounceBufferBytes);
  }
  // kBounceBufferBytes is a multiple of every accepted block size, so a
  // partial transfer still ends on a block boundary.
  return bounce_.span().first(std::min(length, bounce_.size()));
}

IoResult<std::size_t> LinuxHeldDevice::read(std::span<std::uint8_t> buffer) {
  if (!state_.fd) return std::unexpected(closed_target_io_error());
  if (buffer.empty()) return 0;
  if (!needs_bounce(buffer.data(), buffer.size())) {
    const ssize_t count = ::read(state_.fd.get(), buffer.data(), buffer.size());
    if (count < 0) return io_failure(errno);
    return static_cast<std::size_t>(count);
  }
  const auto bounce = bounce_buffer(buffer.size());
  if (bounce.empty()) return io_failure(ENOMEM);
  const ssize_t count = ::read(state_.fd.get(), bounce.data(), bounce.size());
  if (count < 0) return io_failure(errno);
  std::memcpy(buffer.data(), bounce.data(), static_cast<std::size_t>(count));
  return static_cast<std::size_t>(count);
}

IoResult<std::size_t> LinuxHeldDevice::write(std::span<const std::uint8_t> data) {
  if (!state_.fd) return std::unexpected(closed_target_io_error());
  if (data.empty()) return 0;
  if (!needs_bounce(data.data(), data.size())) {
    const ssize_t count = ::write(state_.fd.get(), data.data(), data.size());
    if (count < 0) return io_failure(errno);
    return static_cast<std::size_t>(count);
  }
  const auto bounce = bounce_buffer(data.size());
  if (bounce.empty()) return io_failure(ENOMEM);
  std::memcpy(bounce.data(), data.data(), bounce.size());
  const ssize_t count = ::write(state_.fd.get(), bounce.data(), bounce.size());
  if (count < 0) return io_failure(errno);
  return static_cast<std::size_t>(count);
}

IoResult<void> LinuxHeldDevice::flush() {
  if (!state_.fd) return std::unexpected(closed_target_io_error());
  return {};
}

IoResult<std::uint64_t> LinuxHeldDevice::seek(SeekFrom from) {
  if (!state_.fd) return std::unexpected(closed_target_io_error());
  off_t offset = 0;
  int whence = SEEK_SET;
  switch (from.origin()) {
    case SeekFrom::Origin::kStart:
      if (from.position() >
          static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return io_failure(EINVAL);
      }
      offset = static_cast<off_t>(from.position());
      break;
    case SeekFrom::Origin::kCurrent:
      offset = from.offset();
      whence = SEEK_CUR;
      break;
    case SeekFrom::Origin::kEnd:
      offset = from.offset();
      whence = SEEK_END;
      break;
  }
  const off_t position = ::lseek(state_.fd.get(), offset, whence);
  if (position < 0) return io_failure(errno);
  return static_cast<std::uint64_t>(position);
}

Result<void> LinuxHeldDevice::sync_all() {
  if (!state_.fd) return fail(closed_target_error(codes::kWriteFailed));
  // On a block device fsync writes back anything cached and then asks the
  // device to flush its own write cache.
  if (::fsync(state_.fd.get()) != 0) {
    return fail(HelperError::io(
        codes::kWriteFailed, "Could not synchronize the target's hardware cache", errno));
  }
  return {};
}

Result<void> LinuxHeldDevice::verify_current_identity() {
  if (!state_.fd) return fail(closed_target_error(codes::kDeviceDisconnected));
  if (detach_confirmed_) return fail(codes::kDeviceDisconnected, std::string(kClaimLost));

  struct stat node {};
  if (::lstat(state_.device_path.c_str(), &node) != 0) {
    return fail(HelperError::io(codes::kDeviceDisconnected,
                                "Could not recheck raw target path", errno));
  }
  if (!S_ISBLK(node.st_mode) || node.st_rdev != state_.facts.device_number) {
    return fail(codes::kDeviceDisconnected,
                "The raw target path no longer names the held device.");
  }
  // The exclusive claim belongs to the held descriptor's open file, which the
  // kernel gives up only when it is closed: that this descriptor is still
  // the disk the name leads to (its device number and disk sequence, which
  // sysfs confirms for the name below) proves the claim without opening the
  // node again.
  struct stat held {};
  if (::fstat(state_.fd.get(), &held) != 0) {
    return fail(HelperError::io(codes::kDeviceDisconnected,
                                "Could not inspect held raw target", errno));
  }
  if (!S_ISBLK(held.st_mode) || held.st_rdev != state_.facts.device_number ||
      read_disk_sequence(state_.fd.get()) != state_.facts.disk_sequence) {
    return fail(codes::kDeviceDisconnected, std::string(kIdentityChanged));
  }

  // The description is validated before anything is unmounted, so that a
  // disk that is no longer the held one never loses its file systems to us.
  RAVIK_ASSIGN_OR_RETURN(
      const BlockDeviceDescription description,
      describe_block_device(state_.facts.selection.device_id, state_.paths));
  RAVIK_RETURN_IF_ERROR(
      validate_fresh_description(state_.facts, description, state_.policy));
  return unmount_disk(description, state_.paths);
}

Result<void> LinuxHeldDevice::eject() {
  RAVIK_RETURN_IF_ERROR(verify_current_identity());
  if (!state_.fd) {
    return fail(codes::kDeviceDisconnected, "The held raw target is already closed.");
  }
  const HeldDiskFacts& facts = state_.facts;
  DepartingDisk departing{.kernel_name = facts.selection.device_id,
                          .device_number = facts.device_number,
                          .disk_sequence = facts.disk_sequence,
                          .is_loop = state_.transport == BlockTransport::kLoop};
  // SCSI and MMC disks are removed through sysfs after the descriptor is
  // closed, when the name may denote something else and, after our own eject,
  // the disk sequence has changed: their device is pinned now, while the
  // descriptor still proves what it is.
  UniqueFd device_directory;
  if (state_.transport == BlockTransport::kScsi ||
      state_.transport == BlockTransport::kMmc) {
    RAVIK_ASSIGN_OR_RETURN(device_directory, pin_disk_device(departing, state_.paths));
    departing.device_directory = device_directory.get();
  }
  // The transport's own request goes through the descriptor whose identity
  // was just proved, so the disk is never reopened by name in between; the
  // descriptor is closed whatever the request's outcome.
  Result<void> requested = request_detach(state_.fd.get());
  state_.fd.reset();
  RAVIK_RETURN_IF_ERROR(std::move(requested));
  RAVIK_RETURN_IF_ERROR(detach_after_close(departing));
  detach_confirmed_ = true;
  return {};
}

HeldDeviceFiles LinuxHeldDevice::files_opened_while_held() const {
  HeldDeviceFiles files;
  // The same attributes remove_scsi_disk and unbind_mmc_card write.
  const std::string& name = state_.facts.selection.device_id;
  if (state_.transport == BlockTransport::kScsi) {
    files.release_attributes.push_back(state_.paths.sysfs_root + "/class/block/" + name +
                                       "/device/delete");
  } else if (state_.transport == BlockTransport::kMmc) {
    files.release_attributes.push_back(mmc_unbind_path(state_.paths));
  }
  return files;
}

Result<void> LinuxHeldDevice::request_detach(int fd) {
  switch (state_.transport) {
    case BlockTransport::kLoop:
      // The kernel detaches at the last close: ours, right after this.
      return detach_loop_device(fd);
    case BlockTransport::kScsi:
      return stop_and_eject_scsi_disk(fd);
    case BlockTransport::kMmc:
      return {};
    case BlockTransport::kOther:
      break;
  }
  return fail(codes::kSafeReleaseFailed,
              "The kernel offers no safe way to detach this kind of disk.");
}

Result<void> LinuxHeldDevice::detach_after_close(const DepartingDisk& departing) {
  if (state_.transport == BlockTransport::kScsi) {
    RAVIK_RETURN_IF_ERROR(remove_scsi_disk(departing.device_directory));
  } else if (state_.transport == BlockTransport::kMmc) {
    RAVIK_RETURN_IF_ERROR(
        unbind_mmc_card(departing, state_.parent_device_name, state_.paths));
  }
  return wait_for_departure(departing, state_.paths);
}

}  // namespace ravik
