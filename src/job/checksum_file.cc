#include "job/checksum_file.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <optional>
#include <regex>
#include <sstream>
#include <vector>

namespace ravik::job {
namespace {

struct NamedDigest {
  std::string digest;
  std::string name;
};

// sha256sum's escaping of a name holding a backslash or a line feed.
std::string unescaped(std::string_view name) {
  std::string text;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size()) {
      ++i;
      text.push_back(name[i] == 'n' ? '\n' : name[i]);
    } else {
      text.push_back(name[i]);
    }
  }
  return text;
}

// One line's digest and name, in either form; nothing for any other line
// (comments, a signature's armour).
std::optional<NamedDigest> parse_line(std::string line) {
  if (line.ends_with('\r')) line.pop_back();
  // A clear-signed text escapes lines that begin with a dash.
  if (line.starts_with("- ")) line.erase(0, 2);
  static const std::regex kTagged(R"(^SHA256 ?\((.*)\) ?= ?([0-9A-Fa-f]{64})$)");
  std::smatch match;
  if (std::regex_match(line, match, kTagged)) {
    return NamedDigest{*normalized_sha256(match[2].str()), match[1].str()};
  }
  const bool escaped = line.starts_with('\\');
  const std::string_view rest = std::string_view(line).substr(escaped ? 1 : 0);
  // "DIGEST  NAME", or "DIGEST *NAME" for a file hashed as binary.
  if (rest.size() < 67 || rest[64] != ' ' || (rest[65] != ' ' && rest[65] != '*')) {
    return std::nullopt;
  }
  auto digest = normalized_sha256(rest.substr(0, 64));
  if (!digest) return std::nullopt;
  const std::string_view name = rest.substr(66);
  return NamedDigest{*digest, escaped ? unescaped(name) : std::string(name)};
}

bool same_file(const std::string& a, const struct stat& b) {
  struct stat info = {};
  return ::stat(a.c_str(), &info) == 0 && info.st_dev == b.st_dev &&
         info.st_ino == b.st_ino;
}

}  // namespace

std::optional<std::string> normalized_sha256(std::string_view text) {
  if (text.size() != 64 || !std::ranges::all_of(text, [](char c) {
        return std::isxdigit(static_cast<unsigned char>(c)) != 0;
      })) {
    return std::nullopt;
  }
  std::string digest(text);
  std::ranges::transform(digest, digest.begin(), [](char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  });
  return digest;
}

std::expected<std::string, std::string> digest_for_image(
    std::string_view checksums, const std::string& checksum_folder,
    const std::string& image_path) {
  std::vector<NamedDigest> lines;
  std::istringstream text{std::string(checksums)};
  for (std::string line; std::getline(text, line);) {
    if (auto parsed = parse_line(std::move(line))) lines.push_back(std::move(*parsed));
  }
  // A piped image has no name to look for; a file of one digest names it.
  if (image_path == "-") {
    if (lines.size() == 1) return lines.front().digest;
    return std::unexpected(
        std::string("an image from standard input takes a checksum "
                    "file of exactly one line"));
  }
  struct stat image = {};
  if (::stat(image_path.c_str(), &image) != 0) {
    return std::unexpected("cannot find the image " + image_path);
  }
  std::optional<std::string> found;
  for (const NamedDigest& line : lines) {
    const std::string path =
        line.name.starts_with('/') ? line.name : checksum_folder + "/" + line.name;
    if (!same_file(path, image)) continue;
    if (found && *found != line.digest) {
      return std::unexpected("it gives " + image_path +
                             " two different digests; which one is published cannot "
                             "be told");
    }
    found = line.digest;
  }
  if (!found) {
    return std::unexpected("it holds no SHA-256 line naming " + image_path +
                           " (names are read relative to the checksum file's folder)");
  }
  return *found;
}

}  // namespace ravik::job
