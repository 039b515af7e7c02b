#include "platform/linux/mount_table.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>

#include "io/unique_fd.h"
#include "platform/linux/sysfs_attribute.h"

namespace ravik {
namespace {

HelperError unparsable() {
  return HelperError(codes::kUnmountFailed, "The mount table could not be parsed.");
}

std::vector<std::string_view> split_fields(std::string_view line) {
  std::vector<std::string_view> fields;
  while (!line.empty()) {
    const auto space = line.find(' ');
    fields.push_back(line.substr(0, space));
    if (space == std::string_view::npos) break;
    line.remove_prefix(space + 1);
  }
  return fields;
}

bool is_octal(char c) { return c >= '0' && c <= '7'; }

// The kernel writes space, tab, line feed and backslash as "\ooo".
std::string unescape(std::string_view field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size() && is_octal(field[i + 1]) &&
        is_octal(field[i + 2]) && is_octal(field[i + 3])) {
      out.push_back(static_cast<char>(((field[i + 1] - '0') << 6) |
                                      ((field[i + 2] - '0') << 3) |
                                      (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

Result<dev_t> parse_device_number(std::string_view field) {
  const auto colon = field.find(':');
  std::uint64_t major_number = 0;
  std::uint64_t minor_number = 0;
  if (colon == std::string_view::npos ||
      !parse_decimal_u64(field.substr(0, colon), major_number) ||
      !parse_decimal_u64(field.substr(colon + 1), minor_number) ||
      major_number > 0xffffffffu || minor_number > 0xffffffffu) {
    return std::unexpected(unparsable());
  }
  return makedev(static_cast<unsigned>(major_number),
                 static_cast<unsigned>(minor_number));
}

}  // namespace

Result<std::vector<MountEntry>> parse_mountinfo(std::string_view text) {
  std::vector<MountEntry> entries;
  while (!text.empty()) {
    const auto newline = text.find('\n');
    const std::string_view line = text.substr(0, newline);
    text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
    if (line.empty()) continue;
    const auto fields = split_fields(line);
    // id parent major:minor root mount-point options [optional...] - type source super
    std::size_t separator = 6;
    while (separator < fields.size() && fields[separator] != "-") ++separator;
    if (fields.size() < 6 || separator + 2 >= fields.size()) {
      return std::unexpected(unparsable());
    }
    RAVIK_ASSIGN_OR_RETURN(const dev_t number, parse_device_number(fields[2]));
    entries.push_back(MountEntry{.device_number = number,
                                 .mount_point = unescape(fields[4]),
                                 .source = unescape(fields[separator + 2])});
  }
  return entries;
}

Result<std::vector<MountEntry>> read_mountinfo(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) {
    return fail(
        HelperError::io(codes::kUnmountFailed, "Could not read the mount table", errno));
  }
  std::string text;
  char chunk[16384];
  for (;;) {
    const ssize_t count = ::read(fd.get(), chunk, sizeof(chunk));
    if (count < 0) {
      if (errno == EINTR) continue;
      return fail(HelperError::io(codes::kUnmountFailed, "Could not read the mount table",
                                  errno));
    }
    if (count == 0) break;
    text.append(chunk, static_cast<std::size_t>(count));
  }
  return parse_mountinfo(text);
}

}  // namespace ravik
