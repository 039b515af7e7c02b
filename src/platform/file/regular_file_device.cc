#include "platform/file/regular_file_device.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <limits>
#include <utility>

namespace ravik {
namespace {

constexpr std::string_view kDisconnected =
    "The held regular-file target no longer is the selected file.";

bool is_power_of_two(std::uint64_t value) {
  return value != 0 && (value & (value - 1)) == 0;
}

}  // namespace

Result<std::unique_ptr<RegularFileDevice>> RegularFileDevice::open(
    DiskIdentity identity, RegularFileGeometry geometry) {
  if (!is_power_of_two(geometry.logical_block_size)) {
    return fail(codes::kDeviceNotRemovable,
                "The regular-file target needs a power-of-two block size.");
  }
  if (identity.device_path.empty() || identity.device_path.front() != '/') {
    return fail(codes::kDeviceNotRemovable,
                "The regular-file target must be named by an absolute path.");
  }
  // O_NOFOLLOW: a symbolic link planted at the path must not redirect the
  // writes to some other file.
  const int access = geometry.read_only ? O_RDONLY : O_RDWR;
  UniqueFd fd(::open(identity.device_path.c_str(),
                     access | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
  if (!fd) {
    return std::unexpected(HelperError::io(
        codes::kDeviceNotRemovable, "Could not open the regular-file target", errno));
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return std::unexpected(HelperError::io(
        codes::kDeviceNotRemovable, "Could not inspect the regular-file target", errno));
  }
  if (!S_ISREG(status.st_mode)) {
    return fail(codes::kDeviceNotRemovable, "The target path is not a regular file.");
  }
  // Reads and writes of a regular file never block; clearing O_NONBLOCK
  // keeps the descriptor an ordinary one.
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) {
    return std::unexpected(HelperError::io(codes::kDeviceNotRemovable,
                                           "Could not configure the regular-file target",
                                           errno));
  }
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EWOULDBLOCK) {
      return fail(codes::kDeviceNotRemovable,
                  "The regular-file target is held by another process.");
    }
    return std::unexpected(HelperError::io(
        codes::kDeviceNotRemovable, "Could not lock the regular-file target", errno));
  }
  const auto size = static_cast<std::uint64_t>(status.st_size);
  if (size != identity.size_bytes) {
    return fail(codes::kDeviceNotRemovable,
                "The regular-file target size does not match the selected size.");
  }
  if (geometry.emulate_raw_alignment && size % geometry.logical_block_size != 0) {
    return fail(codes::kDeviceNotRemovable,
                "The regular-file target is not a whole number of blocks.");
  }
  return std::unique_ptr<RegularFileDevice>(new RegularFileDevice(
      std::move(fd), std::move(identity), geometry, status.st_dev, status.st_ino));
}

RegularFileDevice::RegularFileDevice(UniqueFd fd, DiskIdentity identity,
                                     RegularFileGeometry geometry, dev_t device,
                                     ino_t inode)
    : fd_(std::move(fd)),
      identity_(std::move(identity)),
      geometry_(geometry),
      capacity_(identity_.size_bytes),
      device_(device),
      inode_(inode) {}

IoResult<void> RegularFileDevice::check_alignment(std::size_t length) const {
  if (!geometry_.emulate_raw_alignment) return {};
  const off_t position = ::lseek(fd_.get(), 0, SEEK_CUR);
  if (position < 0) return std::unexpected(IoError::from_errno(errno));
  const std::uint64_t block = geometry_.logical_block_size;
  if (static_cast<std::uint64_t>(position) % block != 0 || length % block != 0) {
    return std::unexpected(IoError::from_errno(EINVAL));
  }
  return {};
}

IoResult<std::size_t> RegularFileDevice::read(std::span<std::uint8_t> buffer) {
  if (!fd_) return std::unexpected(closed_target_io_error());
  if (auto aligned = check_alignment(buffer.size()); !aligned) {
    return std::unexpected(std::move(aligned).error());
  }
  const ssize_t count = ::read(fd_.get(), buffer.data(), buffer.size());
  if (count < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(count);
}

IoResult<std::size_t> RegularFileDevice::write(std::span<const std::uint8_t> data) {
  if (!fd_) return std::unexpected(closed_target_io_error());
  if (auto aligned = check_alignment(data.size()); !aligned) {
    return std::unexpected(std::move(aligned).error());
  }
  // A disk cannot grow; neither may the file that stands in for one.
  const off_t position = ::lseek(fd_.get(), 0, SEEK_CUR);
  if (position < 0) return std::unexpected(IoError::from_errno(errno));
  const auto at = static_cast<std::uint64_t>(position);
  if (at >= capacity_ && !data.empty()) {
    return std::unexpected(IoError::from_errno(ENOSPC));
  }
  const std::size_t length =
      static_cast<std::size_t>(std::min<std::uint64_t>(data.size(), capacity_ - at));
  const ssize_t count = ::write(fd_.get(), data.data(), length);
  if (count < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::size_t>(count);
}

IoResult<void> RegularFileDevice::flush() {
  if (!fd_) return std::unexpected(closed_target_io_error());
  return {};
}

IoResult<std::uint64_t> RegularFileDevice::seek(SeekFrom from) {
  if (!fd_) return std::unexpected(closed_target_io_error());
  off_t result = -1;
  switch (from.origin()) {
    case SeekFrom::Origin::kStart:
      if (from.position() >
          static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return std::unexpected(IoError::from_errno(EINVAL));
      }
      result = ::lseek(fd_.get(), static_cast<off_t>(from.position()), SEEK_SET);
      break;
    case SeekFrom::Origin::kCurrent:
      result = ::lseek(fd_.get(), static_cast<off_t>(from.offset()), SEEK_CUR);
      break;
    case SeekFrom::Origin::kEnd:
      result = ::lseek(fd_.get(), static_cast<off_t>(from.offset()), SEEK_END);
      break;
  }
  if (result < 0) return std::unexpected(IoError::from_errno(errno));
  return static_cast<std::uint64_t>(result);
}

Result<void> RegularFileDevice::sync_all() {
  if (!fd_) return std::unexpected(closed_target_error(codes::kWriteFailed));
  if (::fsync(fd_.get()) != 0) {
    return std::unexpected(
        HelperError::io(codes::kWriteFailed, "Could not flush the held target", errno));
  }
  return {};
}

Result<void> RegularFileDevice::verify_current_identity() {
  if (!fd_) return std::unexpected(closed_target_error(codes::kDeviceDisconnected));
  struct stat held {};
  if (::fstat(fd_.get(), &held) != 0) {
    return std::unexpected(HelperError::io(codes::kDeviceDisconnected,
                                           "Could not inspect the held target", errno));
  }
  struct stat named {};
  if (::lstat(identity_.device_path.c_str(), &named) != 0) {
    return std::unexpected(HelperError::io(
        codes::kDeviceDisconnected, "Could not inspect the held target path", errno));
  }
  // The path must still name this very file, not a link to it or a file
  // put in its place, and the file must not have been truncated under us.
  if (!S_ISREG(named.st_mode) || named.st_dev != device_ || named.st_ino != inode_ ||
      held.st_dev != device_ || held.st_ino != inode_ ||
      static_cast<std::uint64_t>(held.st_size) != capacity_) {
    return fail(codes::kDeviceDisconnected, std::string(kDisconnected));
  }
  return {};
}

Result<void> RegularFileDevice::eject() {
  RAVIK_RETURN_IF_ERROR(verify_current_identity());
  if (const int error = fd_.close_reporting(); error != 0) {
    return std::unexpected(HelperError::io(codes::kSafeReleaseFailed,
                                           "Could not close the held target", error));
  }
  detached_ = true;
  return {};
}

Result<std::unique_ptr<HeldDeviceIo>> open_regular_file_target(const SelectedDisk& target,
                                                               const DeviceOpenPolicy&) {
  DiskIdentity identity{
      .platform = DiskPlatform::kLinux,
      .device_id = target.device_id,
      .device_path = target.device_path,
      .size_bytes = target.size_bytes,
      .serial = target.serial,
      .topology_path = target.topology_path,
      .model = target.model,
      .removable = true,
      .writable = true,
      .mounted = false,
      .whole_device = true,
  };
  RAVIK_ASSIGN_OR_RETURN(
      auto device,
      RegularFileDevice::open(std::move(identity),
                              RegularFileGeometry{.read_only = target.read_only}));
  return std::unique_ptr<HeldDeviceIo>(std::move(device));
}

}  // namespace ravik
