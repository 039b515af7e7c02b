#include "client/image_reader.h"

#include <unistd.h>

#include <cerrno>

namespace ravik::client {
namespace {

class RawImageReader : public ImageReader {
 public:
  explicit RawImageReader(UniqueFd file) : file_(std::move(file)) {}

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    std::size_t filled = 0;
    while (filled < buffer.size()) {
      const ssize_t count =
          ::read(file_.get(), buffer.data() + filled, buffer.size() - filled);
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) {
        return fail(
            HelperError::io(codes::kImageMissing, "Could not read the image", errno));
      }
      if (count == 0) break;
      filled += static_cast<std::size_t>(count);
    }
    return filled;
  }

 private:
  UniqueFd file_;
};

}  // namespace

std::unique_ptr<ImageReader> raw_image_reader(UniqueFd file) {
  return std::make_unique<RawImageReader>(std::move(file));
}

}  // namespace ravik::client
