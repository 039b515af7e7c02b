// FdInput and FdOutput: RawInput and RawOutput over an owned descriptor. A
// call interrupted by a signal before it transferred anything is repeated, so
// callers never see EINTR from the system. One owner, one thread at a time.
#ifndef RAVIK_PROTOCOL_FD_STREAM_H_
#define RAVIK_PROTOCOL_FD_STREAM_H_

#include "platform/unique_fd.h"
#include "protocol/raw_stream.h"

namespace ravik {

// With a wake descriptor (not owned, non-blocking, readable when a waiting
// read must give way: the session's cancellation signals write to it), a
// read waits for both; a wake-up consumes what is pending on the wake
// descriptor and fails with kInterrupted, having read no input.
class FdInput final : public RawInput {
 public:
  explicit FdInput(UniqueFd fd, int wake_fd = -1)
      : fd_(std::move(fd)), wake_fd_(wake_fd) {}
  IoResult<std::size_t> read_some(std::span<std::uint8_t> buffer) override;

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

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_FD_STREAM_H_
