// ImageChunks: where one helper session takes the image bytes it streams, a
// chunk at a time. With one disk the session reads the image itself
// (ReaderChunks); with several, every session takes the same chunks from one
// ImageFanOut.
//
// Not thread-safe: the session's thread uses its chunks.
#ifndef RAVIK_JOB_IMAGE_CHUNKS_H_
#define RAVIK_JOB_IMAGE_CHUNKS_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "error/helper_error.h"
#include "job/image_reader.h"

namespace ravik::job {

class ImageChunks {
 public:
  virtual ~ImageChunks() = default;
  // The next at most `limit` (>= 1) bytes of the image; empty at its end.
  // The bytes stay valid until the next call or stop_taking().
  virtual Result<std::span<const std::uint8_t>> next(std::size_t limit) = 0;
  // The session takes no more bytes (done, failed or canceled).
  virtual void stop_taking() = 0;
};

// Chunks read straight from `reader` into a buffer of `buffer_bytes`.
class ReaderChunks : public ImageChunks {
 public:
  ReaderChunks(std::unique_ptr<ImageReader> reader, std::size_t buffer_bytes);

  Result<std::span<const std::uint8_t>> next(std::size_t limit) override;
  // Takes no more bytes; the reader itself lives as long as this, so a
  // display may still ask it how far it got.
  void stop_taking() override { stopped_taking_ = true; }

 private:
  std::unique_ptr<ImageReader> reader_;
  bool stopped_taking_ = false;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_IMAGE_CHUNKS_H_
