#include "fatfs/short_name.h"

#include <algorithm>
#include <string>

namespace fatfs {
namespace {

bool valid_short_char(char c) {
  if (c >= 'A' && c <= 'Z') return true;
  if (c >= '0' && c <= '9') return true;
  return std::string_view("$%'-_@~`!(){}^#&").find(c) != std::string_view::npos;
}

char upper(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Upper-cases the part and drops spaces and dots; anything else invalid in a
// short name becomes '_'. Sets `lossy` when the result does not spell the
// original.
std::string short_part(std::string_view part, bool& lossy) {
  std::string out;
  for (const char c : part) {
    if (c == ' ' || c == '.') {
      lossy = true;
      continue;
    }
    const char u = upper(c);
    if (valid_short_char(u)) {
      out.push_back(u);
    } else {
      out.push_back('_');
      lossy = true;
    }
  }
  return out;
}

ShortName assemble(std::string_view base, std::string_view extension) {
  ShortName name;
  name.fill(' ');
  std::copy(base.begin(), base.end(), name.begin());
  std::copy(extension.begin(), extension.end(), name.begin() + 8);
  return name;
}

}  // namespace

Result<void> validate_file_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxNameLength) {
    return fail(ErrorKind::kInvalidInput, "file names must be 1 to 255 bytes long");
  }
  if (name == "." || name == "..") {
    return fail(ErrorKind::kInvalidInput, "\".\" and \"..\" are not file names");
  }
  for (const char c : name) {
    if (c < 0x20 || c > 0x7E ||
        std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) {
      return fail(ErrorKind::kInvalidInput,
                  "file names must be printable ASCII without \"*/:<>?\\| characters");
    }
  }
  if (name.front() == ' ' || name.back() == ' ' || name.back() == '.') {
    return fail(ErrorKind::kInvalidInput,
                "file names may not start with a space or end with a space or dot");
  }
  return {};
}

std::optional<ShortName> plain_short_name(std::string_view name) {
  const std::size_t dot = name.find('.');
  const std::string_view base = name.substr(0, dot);
  const std::string_view extension =
      dot == std::string_view::npos ? std::string_view() : name.substr(dot + 1);
  if (base.empty() || base.size() > 8 || extension.size() > 3) return std::nullopt;
  if (dot != std::string_view::npos && extension.empty()) return std::nullopt;
  const auto plain = [](std::string_view part) {
    return std::all_of(part.begin(), part.end(), valid_short_char);
  };
  if (!plain(base) || !plain(extension)) return std::nullopt;
  return assemble(base, extension);
}

std::optional<ShortName> generate_short_name(
    std::string_view name, const std::function<bool(const ShortName&)>& taken) {
  bool lossy = false;
  const std::size_t last_dot = name.rfind('.');
  const bool has_extension = last_dot != std::string_view::npos && last_dot != 0;
  std::string base = short_part(has_extension ? name.substr(0, last_dot) : name, lossy);
  std::string extension =
      has_extension ? short_part(name.substr(last_dot + 1), lossy) : "";
  if (extension.size() > 3) {
    extension.resize(3);
    lossy = true;
  }
  if (base.size() > 8) lossy = true;
  if (base.empty()) base.push_back('_');  // e.g. a name made only of dots and spaces

  if (!lossy) {
    const ShortName exact = assemble(base, extension);
    if (!taken(exact)) return exact;
  }
  for (std::uint32_t n = 1; n <= 999999; ++n) {
    std::string tail(1, '~');
    tail += std::to_string(n);
    const std::string stem = base.substr(0, std::min(base.size(), 8 - tail.size()));
    const ShortName candidate = assemble(stem + tail, extension);
    if (!taken(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace fatfs
