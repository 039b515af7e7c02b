#include "boot_partition/partition_locator.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <vector>

#include "boot_partition/device_range_io.h"

namespace ravik {
namespace {

constexpr std::uint64_t kLbaLimit = std::uint64_t{1} << 55;
constexpr std::uint64_t kMaxGptArrayBytes = 16'777'216;

std::uint32_t u32_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) |
         static_cast<std::uint32_t>(bytes[at + 1]) << 8 |
         static_cast<std::uint32_t>(bytes[at + 2]) << 16 |
         static_cast<std::uint32_t>(bytes[at + 3]) << 24;
}

std::uint64_t u64_at(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint64_t>(u32_at(bytes, at)) |
         static_cast<std::uint64_t>(u32_at(bytes, at + 4)) << 32;
}

// CRC-32 of the GPT standard over a buffer of any size (zlib takes at most
// 4 GiB minus one per call).
std::uint32_t gpt_crc32(std::span<const std::uint8_t> bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (!bytes.empty()) {
    const std::size_t step = std::min<std::size_t>(bytes.size(), 1U << 30);
    crc = crc32(crc, bytes.data(), static_cast<uInt>(step));
    bytes = bytes.subspan(step);
  }
  return static_cast<std::uint32_t>(crc);
}

std::unexpected<HelperError> boot_check(std::string message) {
  return fail(codes::kBootCheckFailed, std::move(message));
}

bool is_fat_type(std::uint8_t type) {
  switch (type) {
    case 0x01:
    case 0x04:
    case 0x06:
    case 0x0B:
    case 0x0C:
    case 0x0E:
    case 0xEF:
      return true;
    default:
      return false;
  }
}

}  // namespace

Result<void> read_exact_at(HeldDeviceIo& device, std::uint64_t offset,
                           std::span<std::uint8_t> buffer) {
  auto read = read_device_range_with_alignment(
      device, offset, buffer, device.logical_block_size(), device.requires_aligned_io());
  if (!read) {
    return fail(HelperError::io_text(codes::kBootCheckFailed,
                                     "Could not read partition metadata",
                                     read.error().describe()));
  }
  return {};
}

Result<std::uint64_t> table_sector_bytes(const HeldDeviceIo& device) {
  const std::uint64_t block_size = device.logical_block_size();
  if (!valid_aligned_block_size(block_size)) {
    return boot_check("The held target reports an invalid logical block size.");
  }
  return block_size;
}

Result<PartitionRange> checked_partition_bounds(std::uint64_t first_lba,
                                                std::uint64_t sector_count,
                                                std::uint64_t capacity,
                                                std::uint64_t sector_bytes) {
  if (first_lba == 0 || sector_count == 0) {
    return boot_check("Partition 1 has an empty sector range.");
  }
  if (first_lba >= kLbaLimit) return boot_check("Partition offset overflow.");
  if (sector_count >= kLbaLimit) return boot_check("Partition length overflow.");
  const std::uint64_t end_lba = first_lba + sector_count;  // below 2^56
  if (end_lba > std::numeric_limits<std::uint64_t>::max() / sector_bytes) {
    return boot_check("Partition range overflow.");
  }
  if (end_lba * sector_bytes > capacity) {
    return boot_check("Partition 1 extends beyond the held target capacity.");
  }
  return PartitionRange{.offset = first_lba * sector_bytes,
                        .length = sector_count * sector_bytes};
}

Result<PartitionRange> locate_partition(HeldDeviceIo& device, std::uint64_t capacity,
                                        std::uint32_t partition_number) {
  if (partition_number != 1) {
    return fail(codes::kProtocolError, "Only partition 1 is supported.");
  }
  std::array<std::uint8_t, kTableSectorBytes> mbr{};
  RAVIK_RETURN_IF_ERROR(read_exact_at(device, 0, mbr));
  if (mbr[510] != 0x55 || mbr[511] != 0xAA) {
    return boot_check("The held target does not contain a valid MBR signature.");
  }
  const std::uint8_t type = mbr[450];
  if (is_fat_type(type)) {
    RAVIK_ASSIGN_OR_RETURN(const std::uint64_t sector_bytes, table_sector_bytes(device));
    return checked_partition_bounds(u32_at(mbr, 454), u32_at(mbr, 458), capacity,
                                    sector_bytes);
  }
  if (type == 0xEE) return locate_gpt_partition(device, capacity);
  return boot_check("Partition 1 is not a supported FAT boot partition.");
}

Result<PartitionRange> locate_gpt_partition(HeldDeviceIo& device,
                                            std::uint64_t capacity) {
  RAVIK_ASSIGN_OR_RETURN(const std::uint64_t sector_bytes, table_sector_bytes(device));
  std::vector<std::uint8_t> header(sector_bytes);
  RAVIK_RETURN_IF_ERROR(read_exact_at(device, sector_bytes, header));
  if (std::memcmp(header.data(), "EFI PART", 8) != 0) {
    return boot_check("The protective MBR is not followed by a valid GPT header.");
  }
  // The header may fill its whole block, no more.
  const std::uint32_t header_size = u32_at(header, 12);
  if (header_size < 92 || header_size > sector_bytes) {
    return boot_check("The GPT header size is invalid.");
  }
  const std::uint32_t stored_header_crc = u32_at(header, 16);
  std::memset(header.data() + 16, 0, 4);
  if (gpt_crc32(std::span(header).first(header_size)) != stored_header_crc) {
    return boot_check("The GPT header checksum is invalid.");
  }
  const std::uint64_t array_lba = u64_at(header, 72);
  const std::uint32_t entry_count = u32_at(header, 80);
  const std::uint32_t entry_size = u32_at(header, 84);
  if (entry_count == 0 || entry_size < 128 || entry_size > 4096 || entry_size % 8 != 0) {
    return boot_check("The GPT partition-entry geometry is invalid.");
  }
  const std::uint64_t array_bytes = std::uint64_t{entry_count} * entry_size;
  if (array_bytes > kMaxGptArrayBytes) {
    return boot_check("The GPT partition-entry array exceeds the safety bound.");
  }
  if (array_lba >= kLbaLimit ||
      array_lba > std::numeric_limits<std::uint64_t>::max() / sector_bytes) {
    return boot_check("GPT entry offset overflow.");
  }
  const std::uint64_t array_offset = array_lba * sector_bytes;
  if (array_bytes > std::numeric_limits<std::uint64_t>::max() - array_offset) {
    return boot_check("GPT entry range overflow.");
  }
  if (array_offset + array_bytes > capacity) {
    return boot_check("The GPT partition-entry array is outside the held target.");
  }
  std::vector<std::uint8_t> entries(array_bytes);
  RAVIK_RETURN_IF_ERROR(read_exact_at(device, array_offset, entries));
  if (gpt_crc32(entries) != u32_at(header, 88)) {
    return boot_check("The GPT partition-entry checksum is invalid.");
  }
  const std::span<const std::uint8_t> entry(entries.data(), entry_size);
  if (std::all_of(entry.begin(), entry.begin() + 16,
                  [](std::uint8_t b) { return b == 0; })) {
    return boot_check("Partition 1 is unused in the GPT.");
  }
  const std::uint64_t first = u64_at(entry, 32);
  const std::uint64_t last = u64_at(entry, 40);
  if (last < first || last - first == std::numeric_limits<std::uint64_t>::max()) {
    return boot_check("Partition 1 has an invalid GPT sector range.");
  }
  return checked_partition_bounds(first, last - first + 1, capacity, sector_bytes);
}

}  // namespace ravik
