// FdInput and FdOutput: RawInput and RawOutput over an owned descriptor. A
// call interrupted by a signal before it transferred anything is repeated, so
// callers never see EINTR. One owner, one thread at a time.
#ifndef RAVIK_IO_FD_STREAM_H_
#define RAVIK_IO_FD_STREAM_H_

#include "io/unique_fd.h"
#include "io/raw_output.h"

namespace ravik {

class FdInput final : public RawInput {
 public:
  explicit FdInput(UniqueFd fd) : fd_(std::move(fd)) {}
  IoResult<std::size_t> read_some(std::span<std::uint8_t> buffer) override;

 private:
  UniqueFd fd_;
};

class FdOutput final : public RawOutput {
 public:
  explicit FdOutput(UniqueFd fd) : fd_(std::move(fd)) {}
  IoResult<std::size_t> write_some(std::span<const std::uint8_t> data) override;

 private:
  UniqueFd fd_;
};

}  // namespace ravik

#endif  // RAVIK_IO_FD_STREAM_H_
