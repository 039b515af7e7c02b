// AlignedBuffer: heap memory whose start is aligned for direct I/O. Devices
// opened with O_DIRECT accept memory aligned to their logical block size;
// callers that allocate their transfer buffers this way avoid the device's
// bounce copy. Move-only owner; not thread-safe.
#ifndef RAVIK_PLATFORM_ALIGNED_BUFFER_H_
#define RAVIK_PLATFORM_ALIGNED_BUFFER_H_

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <utility>

namespace ravik {

class AlignedBuffer {
 public:
  AlignedBuffer() = default;
  // `alignment` must be a power of two; `size` is rounded up to a multiple of
  // it. An empty buffer results when the allocation fails.
  AlignedBuffer(std::size_t alignment, std::size_t size)
      : size_((size + alignment - 1) / alignment * alignment),
        data_(static_cast<std::uint8_t*>(std::aligned_alloc(alignment, size_))) {
    if (!data_) size_ = 0;
  }
  // A moved-from buffer is empty.
  AlignedBuffer(AlignedBuffer&& other) noexcept
      : size_(std::exchange(other.size_, 0)), data_(std::move(other.data_)) {}
  AlignedBuffer& operator=(AlignedBuffer&& other) noexcept {
    data_ = std::move(other.data_);
    size_ = std::exchange(other.size_, 0);
    return *this;
  }

  std::uint8_t* data() const { return data_.get(); }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::span<std::uint8_t> span() const { return {data_.get(), size_}; }

 private:
  struct Free {
    void operator()(std::uint8_t* p) const { std::free(p); }
  };
  std::size_t size_ = 0;
  std::unique_ptr<std::uint8_t, Free> data_;
};

inline bool is_aligned(const void* pointer, std::size_t alignment) {
  return reinterpret_cast<std::uintptr_t>(pointer) % alignment == 0;
}

}  // namespace ravik

#endif  // RAVIK_PLATFORM_ALIGNED_BUFFER_H_
