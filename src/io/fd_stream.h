// Byte streams over descriptors. FdInput and FdOutput own their descriptor
// and repeat a call interrupted by a signal before it transferred anything, so
// callers never see EINTR from the system. DescriptorByteSource borrows its descriptor
// and reports an interrupted read, so that a signal can stop a blocked reader. One owner,
// one thread at a time.
#ifndef RAVIK_IO_FD_STREAM_H_
#define RAVIK_IO_FD_STREAM_H_

#include "io/byte_source.h"
#include "io/raw_output.h"
#include "io/unique_fd.h"

namespace ravik {

// With a wake descriptor (not owned, non-blocking, readable when a waiting
// read must give way: the session's cancellation signals write to it), a
// read waits for both; a wake-up consumes what is pending on the wake
// descriptor and fails with kInterrupted, having read no input.
class FdInput final : public ByteSource {
 public:
  explicit FdInput(UniqueFd fd, int wake_fd = -1)
      : fd_(std::move(fd)), wake_fd_(wake_fd) {}
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

 private:
  UniqueFd fd_;
  int wake_fd_;
};

class FdOutput final : public RawOutput {
 public:
  explicit FdOutput(UniqueFd fd) : fd_(std::move(fd)) {}
  IoResult<std::size_t> write_some(std::span<const std::uint8_t> data) override;

 private:
  UniqueFd fd_;
};

// Reads straight from a borrowed descriptor, without a buffer.
class DescriptorByteSource final : public ByteSource {
 public:
  // `fd` is not owned; it must stay open while this is used.
  explicit DescriptorByteSource(int fd) : fd_(fd) {}
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

 private:
  int fd_;
};

}  // namespace ravik

#endif  // RAVIK_IO_FD_STREAM_H_
