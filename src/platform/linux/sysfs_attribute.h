// Bounded reads of sysfs attribute files relative to an open sysfs directory.
// sysfs values are short texts ending in a line feed; everything read here is
// checked before it is trusted (size bound, UTF-8, number syntax). Stateless;
// thread-safe.
#ifndef RAVIK_PLATFORM_LINUX_SYSFS_ATTRIBUTE_H_
#define RAVIK_PLATFORM_LINUX_SYSFS_ATTRIBUTE_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

namespace ravik {

// Texts of this size or more are refused: no sysfs attribute is that long, so
// a longer one is not the kernel talking.
inline constexpr std::size_t kSysfsTextBound = 16384;

enum class SysfsReadFailure {
  kMissing,      // the attribute does not exist (ENOENT)
  kUnreadable,   // the read failed otherwise (the device may be going away)
  kTooLong,      // kSysfsTextBound bytes or more
  kInvalidUtf8,  // not well-formed UTF-8
  kInvalidNumber,
};

struct SysfsError {
  SysfsReadFailure failure;
  int os_error = 0;
};

template <class T>
using SysfsResult = std::expected<T, SysfsError>;

// Reads `name` (may contain '/', e.g. "queue/logical_block_size") below the
// directory `directory_fd`. The text is cut at the first NUL byte and one
// trailing line feed is removed.
SysfsResult<std::string> read_sysfs_text(int directory_fd, const std::string& name);

// A decimal unsigned number, as sysfs writes sizes and flags.
SysfsResult<std::uint64_t> read_sysfs_u64(int directory_fd, const std::string& name);

// A device number written "major:minor", as in "dev" and in mountinfo.
SysfsResult<dev_t> read_sysfs_device_number(int directory_fd, const std::string& name);

// Parses "major:minor" with both parts decimal and representable in a dev_t.
std::optional<dev_t> parse_device_number(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_SYSFS_ATTRIBUTE_H_
