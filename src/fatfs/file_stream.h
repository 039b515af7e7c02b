// FileStream: a Stream over a byte range of a file (a disk image, or a
// partition inside one), through a descriptor it owns. The range is fixed
// when the stream is opened: reads stop at its end and writes that would
// pass it fail whole, so a volume can never spill outside its partition.
// flush() is fsync. Move-only; not thread-safe.
#ifndef RAVIK_FATFS_FILE_STREAM_H_
#define RAVIK_FATFS_FILE_STREAM_H_

#include <cstdint>
#include <optional>
#include <string>

#include "fatfs/stream.h"

namespace fatfs {

class FileStream final : public Stream {
 public:
  // Opens `path` for reading and writing. The range starts at `offset` and
  // runs for `length` bytes, or to the end of the file when absent; it must
  // lie inside the file.
  static Result<FileStream> open(const std::string& path, std::uint64_t offset = 0,
                                 std::optional<std::uint64_t> length = std::nullopt);

  FileStream(FileStream&& other) noexcept;
  FileStream& operator=(FileStream&& other) noexcept;
  ~FileStream() override;

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override;
  Result<std::size_t> write(std::span<const std::uint8_t> data) override;
  Result<std::uint64_t> seek(std::int64_t offset, SeekFrom from) override;
  Result<void> flush() override;

 private:
  FileStream(int fd, std::uint64_t offset, std::uint64_t length)
      : fd_(fd), offset_(offset), length_(length) {}

  int fd_ = -1;
  std::uint64_t offset_ = 0;
  std::uint64_t length_ = 0;
  std::uint64_t position_ = 0;
};

}  // namespace fatfs

#endif  // RAVIK_FATFS_FILE_STREAM_H_
