// UniqueFd: the single owner of a file descriptor, closed when the owner is
// destroyed. Move-only; not thread-safe (one owner, one thread at a time).
#ifndef RAVIK_IO_UNIQUE_FD_H_
#define RAVIK_IO_UNIQUE_FD_H_

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace ravik {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives up ownership without closing.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }

  // Closes the held descriptor (errors ignored: this is the silent path; use
  // close_reporting where the failure of close must be reported).
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

  // Closes the descriptor and returns close()'s errno, or 0.
  int close_reporting() {
    if (fd_ < 0) return 0;
    const int result = ::close(std::exchange(fd_, -1));
    return result == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace ravik

#endif  // RAVIK_IO_UNIQUE_FD_H_
