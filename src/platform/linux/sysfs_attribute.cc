#include "platform/linux/sysfs_attribute.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <vector>

#include "error/utf8.h"
#include "io/unique_fd.h"

namespace ravik {

SysfsResult<std::string> read_sysfs_text(int directory_fd, const std::string& name) {
  UniqueFd fd(::openat(directory_fd, name.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!fd) {
    const int error = errno;
    return std::unexpected(SysfsError{
        error == ENOENT ? SysfsReadFailure::kMissing : SysfsReadFailure::kUnreadable,
        error});
  }
  std::string text;
  std::vector<char> chunk(4096);
  for (;;) {
    const ssize_t count = ::read(fd.get(), chunk.data(), chunk.size());
    if (count < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(SysfsError{SysfsReadFailure::kUnreadable, errno});
    }
    if (count == 0) break;
    text.append(chunk.data(), static_cast<std::size_t>(count));
    if (text.size() >= kSysfsTextBound) {
      return std::unexpected(SysfsError{SysfsReadFailure::kTooLong, 0});
    }
  }
  if (const auto nul = text.find('\0'); nul != std::string::npos) text.resize(nul);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!is_valid_utf8(text)) {
    return std::unexpected(SysfsError{SysfsReadFailure::kInvalidUtf8, 0});
  }
  return text;
}

bool parse_decimal_u64(std::string_view text, std::uint64_t& value) {
  if (text.empty()) return false;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value, 10);
  return ec == std::errc() && ptr == end;
}

std::optional<dev_t> parse_device_number(std::string_view text) {
  const auto colon = text.find(':');
  std::uint64_t major_number = 0;
  std::uint64_t minor_number = 0;
  if (colon == std::string_view::npos ||
      !parse_decimal_u64(text.substr(0, colon), major_number) ||
      !parse_decimal_u64(text.substr(colon + 1), minor_number) ||
      major_number > 0xffffffffu || minor_number > 0xffffffffu) {
    return std::nullopt;
  }
  const dev_t number =
      makedev(static_cast<unsigned>(major_number), static_cast<unsigned>(minor_number));
  if (major(number) != major_number || minor(number) != minor_number) return std::nullopt;
  return number;
}

SysfsResult<dev_t> read_sysfs_device_number(int directory_fd, const std::string& name) {
  auto text = read_sysfs_text(directory_fd, name);
  if (!text) return std::unexpected(text.error());
  const auto number = parse_device_number(*text);
  if (!number) return std::unexpected(SysfsError{SysfsReadFailure::kInvalidNumber, 0});
  return *number;
}

SysfsResult<std::uint64_t> read_sysfs_u64(int directory_fd, const std::string& name) {
  auto text = read_sysfs_text(directory_fd, name);
  if (!text) return std::unexpected(text.error());
  std::uint64_t value = 0;
  if (!parse_decimal_u64(*text, value)) {
    return std::unexpected(SysfsError{SysfsReadFailure::kInvalidNumber, 0});
  }
  return value;
}

}  // namespace ravik
