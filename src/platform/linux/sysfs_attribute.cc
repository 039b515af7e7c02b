#include "platform/linux/sysfs_attribute.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "error/decimal.h"
#include "error/utf8.h"
#include "io/eintr.h"
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
    const ssize_t count =
        retry_on_eintr([&] { return ::read(fd.get(), chunk.data(), chunk.size()); });
    if (count < 0) {
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

std::optional<dev_t> parse_device_number(std::string_view text) {
  const auto colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  const auto major_number = parse_decimal<std::uint32_t>(text.substr(0, colon));
  const auto minor_number = parse_decimal<std::uint32_t>(text.substr(colon + 1));
  if (!major_number || !minor_number) return std::nullopt;
  const dev_t number = makedev(*major_number, *minor_number);
  if (major(number) != *major_number || minor(number) != *minor_number)
    return std::nullopt;
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
  const auto value = parse_decimal<std::uint64_t>(*text);
  if (!value) return std::unexpected(SysfsError{SysfsReadFailure::kInvalidNumber, 0});
  return *value;
}

}  // namespace ravik
