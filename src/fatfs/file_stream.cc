#include "fatfs/file_stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace fatfs {
namespace {

Error os_error(const std::string& context, int error) {
  return Error{ErrorKind::kIo, context + ": " + std::strerror(error)};
}

}  // namespace

Result<FileStream> FileStream::open(const std::string& path, std::uint64_t offset,
                                    std::optional<std::uint64_t> length) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return std::unexpected(os_error("cannot open " + path, errno));
  FileStream stream(fd, offset, 0);  // closes fd on every early return
  struct stat status {};
  if (::fstat(fd, &status) != 0)
    return std::unexpected(os_error("cannot stat " + path, errno));
  const auto file_size = static_cast<std::uint64_t>(status.st_size);
  if (offset > file_size) {
    return fail(ErrorKind::kInvalidInput, "the offset lies beyond the end of " + path);
  }
  const std::uint64_t available = file_size - offset;
  if (length && *length > available) {
    return fail(ErrorKind::kInvalidInput,
                "the byte range runs beyond the end of " + path);
  }
  if (offset > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) / 2) {
    return fail(ErrorKind::kInvalidInput, "the offset is too large");
  }
  stream.length_ = length.value_or(available);
  return stream;
}

FileStream::FileStream(FileStream&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      offset_(other.offset_),
      length_(other.length_),
      position_(other.position_) {}

FileStream& FileStream::operator=(FileStream&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    offset_ = other.offset_;
    length_ = other.length_;
    position_ = other.position_;
  }
  return *this;
}

FileStream::~FileStream() {
  if (fd_ >= 0) ::close(fd_);
}

Result<std::size_t> FileStream::read(std::span<std::uint8_t> buffer) {
  if (position_ >= length_) return 0;
  const std::size_t n = std::min<std::uint64_t>(buffer.size(), length_ - position_);
  ssize_t got;
  do {
    got = ::pread(fd_, buffer.data(), n, static_cast<off_t>(offset_ + position_));
  } while (got < 0 && errno == EINTR);
  if (got < 0) return std::unexpected(os_error("cannot read the image", errno));
  position_ += static_cast<std::uint64_t>(got);
  return static_cast<std::size_t>(got);
}

Result<std::size_t> FileStream::write(std::span<const std::uint8_t> data) {
  if (position_ > length_ || data.size() > length_ - position_) {
    return fail(ErrorKind::kIo, "a write would pass the end of the byte range");
  }
  ssize_t put;
  do {
    put =
        ::pwrite(fd_, data.data(), data.size(), static_cast<off_t>(offset_ + position_));
  } while (put < 0 && errno == EINTR);
  if (put < 0) return std::unexpected(os_error("cannot write the image", errno));
  position_ += static_cast<std::uint64_t>(put);
  return static_cast<std::size_t>(put);
}

Result<std::uint64_t> FileStream::seek(std::int64_t offset, SeekFrom from) {
  std::int64_t base = 0;
  if (from == SeekFrom::kCurrent) base = static_cast<std::int64_t>(position_);
  if (from == SeekFrom::kEnd) base = static_cast<std::int64_t>(length_);
  const std::int64_t target = base + offset;
  if ((offset > 0 && target < base) || target < 0 ||
      static_cast<std::uint64_t>(target) > length_) {
    return fail(ErrorKind::kInvalidInput, "seek target is outside the byte range");
  }
  position_ = static_cast<std::uint64_t>(target);
  return position_;
}

Result<void> FileStream::flush() {
  if (::fsync(fd_) != 0)
    return std::unexpected(os_error("cannot flush the image", errno));
  return {};
}

}  // namespace fatfs
