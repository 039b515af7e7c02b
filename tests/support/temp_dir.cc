#include "support/temp_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <utility>

namespace ravik::harness {
namespace {

[[noreturn]] void die(std::string_view what, const std::string& path, int os_error) {
  std::fprintf(stderr, "TempDir: %.*s %s: %s\n", static_cast<int>(what.size()),
               what.data(), path.c_str(), std::strerror(os_error));
  std::abort();
}

std::string temp_root() {
  const char* configured = std::getenv("TMPDIR");
  return configured != nullptr && configured[0] == '/' ? configured : "/tmp";
}

}  // namespace

TempDir::TempDir() : TempDir(temp_root()) {}

TempDir::TempDir(const std::string& root) {
  std::string pattern = root + "/ravik-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) die("cannot create", pattern, errno);
  path_ = std::move(pattern);
}

TempDir::TempDir(TempDir&& other) noexcept : path_(std::exchange(other.path_, {})) {}

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(std::string_view name) const {
  return path_ + "/" + std::string(name);
}

std::string TempDir::write_file(std::string_view name, std::string_view contents,
                                mode_t mode) const {
  const std::string path = file(name);
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) die("cannot create", path, errno);
  std::size_t done = 0;
  while (done < contents.size()) {
    const ssize_t written = ::write(fd, contents.data() + done, contents.size() - done);
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) die("cannot write", path, errno);
    done += static_cast<std::size_t>(written);
  }
  if (::fchmod(fd, mode) != 0) die("cannot chmod", path, errno);
  if (::close(fd) != 0) die("cannot close", path, errno);
  return path;
}

}  // namespace ravik::harness
