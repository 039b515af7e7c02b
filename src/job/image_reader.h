// ImageReader: the bytes of the image, in order, as a write sends them. Every
// ImageSource (raw or decompressing) is one. A write reads its image through
// one reader, however many disks it goes to.
//
// Not thread-safe: one thread reads a reader.
#ifndef RAVIK_JOB_IMAGE_READER_H_
#define RAVIK_JOB_IMAGE_READER_H_

#include <cstddef>
#include <cstdint>
#include <span>

#include "error/helper_error.h"

namespace ravik::job {

class ImageReader {
 public:
  virtual ~ImageReader() = default;
  // Fills `buffer` as far as the image goes: fewer bytes only at its end,
  // 0 after it.
  virtual Result<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_IMAGE_READER_H_
