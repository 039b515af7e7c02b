#include "job/digest_cache.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "io/eintr.h"
#include "io/unique_fd.h"
#include "io/write_all.h"
#include "job/checksum_file.h"

namespace ravik::job {
namespace {

constexpr std::size_t kMaxEntries = 64;
constexpr const char* kFileName = "digests";
constexpr const char* kRatesFileName = "rates";
constexpr std::size_t kMaxFileBytes = 64 * 1024;

struct Entry {
  FileIdentity file;
  RememberedDigest digest;
};

std::string directory_from_environment() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache != nullptr && cache[0] == '/') {
    return std::string(cache) + "/ravik-device-client";
  }
  const char* home = std::getenv("HOME");
  if (home != nullptr && home[0] == '/') {
    return std::string(home) + "/.cache/ravik-device-client";
  }
  return {};
}

// Owned by this process's effective user, and nobody else may change it.
bool private_to_us(const struct stat& info) {
  return info.st_uid == ::geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// `path` as a directory private to us, made (0700) when missing inside a
// directory that is ours; nothing otherwise.
UniqueFd open_private_directory(const std::string& path, bool create) {
  if (create) {
    const std::size_t slash = path.rfind('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    struct stat info = {};
    if (::lstat(parent.c_str(), &info) != 0 && errno == ENOENT) {
      const std::size_t up = parent.rfind('/');
      const std::string grandparent = up == 0 ? "/" : parent.substr(0, up);
      struct stat above = {};
      if (::lstat(grandparent.c_str(), &above) == 0 && S_ISDIR(above.st_mode) &&
          above.st_uid == ::geteuid()) {
        (void)::mkdir(parent.c_str(), 0700);
      }
    }
    if (::lstat(parent.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
        private_to_us(info)) {
      (void)::mkdir(path.c_str(), 0700);
    }
  }
  UniqueFd directory(
      ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info = {};
  if (!directory || ::fstat(directory.get(), &info) != 0 || !private_to_us(info)) {
    return UniqueFd();
  }
  return directory;
}

// The text of the cache file `name`, when it is a regular file private to
// us; empty otherwise.
std::string read_private_file(int directory, const char* name) {
  UniqueFd file(::openat(directory, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info = {};
  if (!file || ::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode) ||
      !private_to_us(info)) {
    return {};
  }
  std::string text(kMaxFileBytes, '\0');
  const ssize_t count =
      retry_on_eintr([&] { return ::read(file.get(), text.data(), text.size()); });
  text.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
  return text;
}

// Replaces the cache file `name` with `text` by renaming a new file in its
// place, so that a reader sees the old file or the new one.
void replace_private_file(int directory, const char* name, const std::string& text) {
  const std::string staged = std::string(name) + "." + std::to_string(::getpid());
  UniqueFd out(::openat(directory, staged.c_str(),
                        O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!out) return;
  if (!write_all(out.get(), text) ||
      ::renameat(directory, staged.c_str(), directory, name) != 0) {
    (void)::unlinkat(directory, staged.c_str(), 0);
  }
}

std::vector<Entry> read_entries(int directory) {
  std::vector<Entry> entries;
  const std::string text = read_private_file(directory, kFileName);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string version;
    Entry entry;
    std::string image_sha256;
    std::string file_sha256;
    if (!(fields >> version >> entry.file.device >> entry.file.inode >> entry.file.size >>
          entry.file.mtime_ns >> entry.file.ctime_ns >> entry.digest.image_size >>
          image_sha256 >> file_sha256) ||
        version != "v1") {
      continue;
    }
    auto image = normalized_sha256(image_sha256);
    if (!image) continue;
    entry.digest.image_sha256 = *image;
    entry.digest.file_sha256 = normalized_sha256(file_sha256).value_or("");
    entries.push_back(std::move(entry));
  }
  return entries;
}

// A disk's name in the rates file: one word.
std::string disk_key(const std::string& disk) {
  std::string key = disk;
  for (char& c : key) {
    if (c <= ' ' || c == 0x7f) c = '_';
  }
  return key.empty() ? "_" : key;
}

}  // namespace

FileIdentity FileIdentity::of(const struct stat& info) {
  constexpr std::int64_t kNanoseconds = 1'000'000'000;
  return {.device = static_cast<std::uint64_t>(info.st_dev),
          .inode = static_cast<std::uint64_t>(info.st_ino),
          .size = static_cast<std::uint64_t>(info.st_size),
          .mtime_ns = static_cast<std::int64_t>(info.st_mtim.tv_sec) * kNanoseconds +
                      info.st_mtim.tv_nsec,
          .ctime_ns = static_cast<std::int64_t>(info.st_ctim.tv_sec) * kNanoseconds +
                      info.st_ctim.tv_nsec};
}

DigestCache::DigestCache(std::optional<std::string> directory)
    : directory_(directory ? std::move(*directory) : directory_from_environment()) {}

std::optional<RememberedDigest> DigestCache::find(const FileIdentity& file) const {
  if (directory_.empty()) return std::nullopt;
  const UniqueFd directory = open_private_directory(directory_, false);
  if (!directory) return std::nullopt;
  for (Entry& entry : read_entries(directory.get())) {
    if (entry.file == file) return std::move(entry.digest);
  }
  return std::nullopt;
}

void DigestCache::remember(const FileIdentity& file,
                           const RememberedDigest& digest) const {
  if (directory_.empty()) return;
  const UniqueFd directory = open_private_directory(directory_, true);
  if (!directory) return;
  std::vector<Entry> entries = read_entries(directory.get());
  std::erase_if(entries, [&](const Entry& entry) { return entry.file == file; });
  entries.push_back({file, digest});
  if (entries.size() > kMaxEntries) {
    entries.erase(entries.begin(), entries.begin() + static_cast<std::ptrdiff_t>(
                                                         entries.size() - kMaxEntries));
  }
  std::string text;
  for (const Entry& entry : entries) {
    text +=
        "v1 " + std::to_string(entry.file.device) + " " +
        std::to_string(entry.file.inode) + " " + std::to_string(entry.file.size) + " " +
        std::to_string(entry.file.mtime_ns) + " " + std::to_string(entry.file.ctime_ns) +
        " " + std::to_string(entry.digest.image_size) + " " + entry.digest.image_sha256 +
        " " + (entry.digest.file_sha256.empty() ? "-" : entry.digest.file_sha256) + "\n";
  }
  replace_private_file(directory.get(), kFileName, text);
}

std::optional<std::uint64_t> DigestCache::write_rate(const std::string& disk) const {
  if (directory_.empty()) return std::nullopt;
  const UniqueFd directory = open_private_directory(directory_, false);
  if (!directory) return std::nullopt;
  std::istringstream lines(read_private_file(directory.get(), kRatesFileName));
  std::optional<std::uint64_t> rate;
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string version;
    std::string key;
    std::uint64_t bytes_per_second = 0;
    if (fields >> version >> key >> bytes_per_second && version == "v1" &&
        key == disk_key(disk) && bytes_per_second > 0) {
      rate = bytes_per_second;
    }
  }
  return rate;
}

void DigestCache::remember_write_rate(const std::string& disk,
                                      std::uint64_t bytes_per_second) const {
  if (directory_.empty() || bytes_per_second == 0) return;
  const UniqueFd directory = open_private_directory(directory_, true);
  if (!directory) return;
  std::vector<std::string> kept;
  std::istringstream lines(read_private_file(directory.get(), kRatesFileName));
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string version;
    std::string key;
    if (fields >> version >> key && version == "v1" && key != disk_key(disk)) {
      kept.push_back(line);
    }
  }
  kept.push_back("v1 " + disk_key(disk) + " " + std::to_string(bytes_per_second));
  if (kept.size() > kMaxEntries) {
    kept.erase(kept.begin(),
               kept.begin() + static_cast<std::ptrdiff_t>(kept.size() - kMaxEntries));
  }
  std::string text;
  for (const std::string& line : kept) text += line + "\n";
  replace_private_file(directory.get(), kRatesFileName, text);
}

}  // namespace ravik::job
