// SeekFrom: where a seek counts from, for positioned byte I/O on a held
// device. A value; thread-compatible.
#ifndef RAVIK_IO_SEEK_FROM_H_
#define RAVIK_IO_SEEK_FROM_H_

#include <cstdint>

namespace ravik {

// Where a seek counts from. Positions from the start are unsigned; offsets
// from the current position or the end are signed.
class SeekFrom {
 public:
  enum class Origin { kStart, kCurrent, kEnd };

  static constexpr SeekFrom start(std::uint64_t position) {
    return SeekFrom(Origin::kStart, position, 0);
  }
  static constexpr SeekFrom current(std::int64_t offset) {
    return SeekFrom(Origin::kCurrent, 0, offset);
  }
  static constexpr SeekFrom end(std::int64_t offset) {
    return SeekFrom(Origin::kEnd, 0, offset);
  }

  constexpr Origin origin() const { return origin_; }
  // Meaningful for Origin::kStart only.
  constexpr std::uint64_t position() const { return position_; }
  // Meaningful for Origin::kCurrent and Origin::kEnd only.
  constexpr std::int64_t offset() const { return offset_; }

 private:
  constexpr SeekFrom(Origin origin, std::uint64_t position, std::int64_t offset)
      : origin_(origin), position_(position), offset_(offset) {}

  Origin origin_;
  std::uint64_t position_;
  std::int64_t offset_;
};

}  // namespace ravik

#endif  // RAVIK_IO_SEEK_FROM_H_
