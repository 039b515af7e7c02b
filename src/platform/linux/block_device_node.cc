#include "platform/linux/block_device_node.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace ravik {

Result<UniqueFd> open_disk_exclusively(const std::string& path, bool read_only) {
  const int access = read_only ? O_RDONLY : O_RDWR;
  UniqueFd fd(::open(path.c_str(), access | O_EXCL | O_CLOEXEC | O_NOFOLLOW | O_DIRECT));
  if (!fd) {
    return fail(HelperError::io(codes::kDeviceNotRemovable,
                                "Could not exclusively open the selected disk", errno));
  }
  return fd;
}

Result<KernelGeometry> read_kernel_geometry(int fd) {
  constexpr std::string_view kContext =
      "Could not read raw target geometry from the held descriptor";
  int block_size = 0;
  if (::ioctl(fd, BLKSSZGET, &block_size) != 0) {
    return fail(HelperError::io(codes::kDeviceNotRemovable, kContext, errno));
  }
  std::uint64_t size_bytes = 0;
  if (::ioctl(fd, BLKGETSIZE64, &size_bytes) != 0) {
    return fail(HelperError::io(codes::kDeviceNotRemovable, kContext, errno));
  }
  if (block_size <= 0 || size_bytes == 0) {
    return fail(HelperError::io_text(codes::kDeviceNotRemovable, kContext,
                                     "The kernel reported an empty geometry."));
  }
  return KernelGeometry{.logical_block_size = static_cast<std::uint64_t>(block_size),
                        .size_bytes = size_bytes};
}

std::optional<std::uint64_t> read_disk_sequence(int fd) {
  std::uint64_t sequence = 0;
  if (::ioctl(fd, BLKGETDISKSEQ, &sequence) != 0) return std::nullopt;
  return sequence;
}

}  // namespace ravik
