// BoundedPartition: partition 1 of the held target as the byte stream the
// FAT library works on. It can neither read nor write outside the partition,
// and it keeps the device's alignment rules for the library, whose accesses
// are small and unaligned.
//
// Writes are gathered in a write-back cache of whole blocks (the device's
// block size on aligned devices, 512 bytes otherwise) and reach the device
// only through flush(), coalesced into runs of neighbouring blocks. On a
// 4096-byte-sector disk this turns the library's many small writes into a
// few large ones instead of one read-modify-write per touched block. The
// cache holds up to 16 MiB; beyond that it writes back what it holds first.
// Each step of a boot-file change (at most 1 MiB of content, or its
// metadata) therefore stays in the cache until the library's flush():
// discard() or destruction without flush() leaves the device exactly as the
// last flush left it. Reads see the cached bytes.
//
// Borrows the device; not thread-safe (the session thread only).
#ifndef RAVIK_BOOT_PARTITION_BOUNDED_PARTITION_H_
#define RAVIK_BOOT_PARTITION_BOUNDED_PARTITION_H_

#include <cstdint>
#include <map>
#include <vector>

#include "error/helper_error.h"
#include "fatfs/stream.h"
#include "platform/held_device_io.h"
#include "transaction/partition_range.h"

namespace ravik {

class BoundedPartition final : public fatfs::Stream {
 public:
  // Refuses (BOOT_CHECK_FAILED) a range that overflows, reaches beyond the
  // device, or is not aligned to the block size of a device with aligned I/O.
  static Result<BoundedPartition> create(HeldDeviceIo& device, PartitionRange range);

  BoundedPartition(BoundedPartition&&) noexcept = default;
  BoundedPartition& operator=(BoundedPartition&&) noexcept = default;

  fatfs::Result<std::size_t> read(std::span<std::uint8_t> buffer) override;
  // All or nothing: a write that would cross the end of the partition fails
  // (kNoSpace, "FAT write exceeds the selected partition") and writes nothing.
  fatfs::Result<std::size_t> write(std::span<const std::uint8_t> data) override;
  fatfs::Result<std::uint64_t> seek(std::int64_t offset, fatfs::SeekFrom from) override;
  // Writes the cached blocks to the device and makes them durable
  // (sync_all), so that what the library writes after a flush never reaches
  // the medium before what it wrote before it. On failure the blocks not yet
  // written stay cached.
  fatfs::Result<void> flush() override;

  // Drops every cached change and refuses all later writes and flushes, so
  // that nothing of a failed operation reaches the device, not even from the
  // FAT library's own clean-up.
  void discard();

 private:
  BoundedPartition(HeldDeviceIo& device, PartitionRange range, std::uint64_t block_size,
                   bool aligned);

  // The cached copy of block `index`, read from the device when it is not
  // cached yet and `fill` is set.
  fatfs::Result<std::vector<std::uint8_t>*> cached_block(std::uint64_t index, bool fill);
  fatfs::Result<void> write_back();

  HeldDeviceIo* device_;  // Not owned; must outlive this.
  std::uint64_t offset_;
  std::uint64_t length_;
  std::uint64_t position_ = 0;
  std::uint64_t block_size_;  // the device's, as the alignment rules use it
  bool aligned_;
  std::uint64_t cache_unit_;                                  // bytes per cached block
  std::map<std::uint64_t, std::vector<std::uint8_t>> dirty_;  // by block index
  bool discarded_ = false;
};

}  // namespace ravik

#endif  // RAVIK_BOOT_PARTITION_BOUNDED_PARTITION_H_
