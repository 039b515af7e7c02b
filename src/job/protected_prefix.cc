#include "job/protected_prefix.h"

#include <algorithm>
#include <vector>

#include "fatfs/byte_order.h"
#include "job/image_source.h"
#include "protocol/request_validation.h"

namespace ravik::job {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;
constexpr std::size_t kMbrEntries = 446;
constexpr std::uint8_t kProtectiveMbr = 0xEE;

std::uint64_t load_le64(std::span<const std::uint8_t> bytes, std::size_t at) {
  return fatfs::load_le32(bytes, at) |
         (static_cast<std::uint64_t>(fatfs::load_le32(bytes, at + 4)) << 32);
}

// The earliest partition of the GPT whose header is at `sector` bytes (its
// sector size): 0 when there is none there, or its entries lie beyond `head`.
std::uint64_t first_gpt_partition(std::span<const std::uint8_t> head,
                                  std::uint64_t sector) {
  if (head.size() < sector + 92 ||
      !std::equal(head.begin() + static_cast<std::ptrdiff_t>(sector),
                  head.begin() + static_cast<std::ptrdiff_t>(sector + 8),
                  std::begin("EFI PART"))) {
    return 0;
  }
  const std::uint64_t entries_lba = load_le64(head, sector + 72);
  const std::uint64_t count = fatfs::load_le32(head, sector + 80);
  const std::uint64_t entry_size = fatfs::load_le32(head, sector + 84);
  if (entry_size < 128 || entries_lba == 0 || entries_lba > head.size() / sector) {
    return 0;
  }
  std::uint64_t first = 0;
  for (std::uint64_t i = 0; i < std::min<std::uint64_t>(count, 4096); ++i) {
    const std::uint64_t at = entries_lba * sector + i * entry_size;
    if (at + 128 > head.size()) break;
    const auto type = head.subspan(at, 16);
    if (std::ranges::all_of(type, [](std::uint8_t b) { return b == 0; })) continue;
    const std::uint64_t lba = load_le64(head, at + 32);
    if (lba == 0 || lba > UINT64_MAX / sector) continue;
    if (first == 0 || lba * sector < first) first = lba * sector;
  }
  return first;
}

}  // namespace

std::uint64_t first_partition_offset(std::span<const std::uint8_t> head) {
  if (head.size() < 512 || head[510] != 0x55 || head[511] != 0xAA) return 0;
  std::uint64_t first = 0;
  for (std::size_t entry = 0; entry < 4; ++entry) {
    const std::size_t at = kMbrEntries + entry * 16;
    const std::uint8_t type = head[at + 4];
    if (type == kProtectiveMbr) {
      // The sector size of a GPT image is found where its header is.
      for (const std::uint64_t sector : {512u, 4096u}) {
        if (const std::uint64_t gpt = first_gpt_partition(head, sector); gpt != 0) {
          return gpt;
        }
      }
      continue;
    }
    const std::uint64_t lba = fatfs::load_le32(head, at + 8);
    if (type == 0 || lba == 0) continue;
    if (first == 0 || lba * 512 < first) first = lba * 512;
  }
  return first;
}

std::uint64_t default_protected_prefix(std::span<const std::uint8_t> head,
                                       std::uint64_t image_size,
                                       std::uint64_t block_size) {
  std::uint64_t prefix = std::max(kMiB, first_partition_offset(head));
  prefix = std::min({prefix, kMaxProtectedPrefixBytes, image_size});
  if (block_size == 0) return prefix;
  return prefix / block_size * block_size;
}

Result<std::vector<std::uint8_t>> read_image_head(const std::string& path,
                                                  std::size_t limit) {
  RAVIK_ASSIGN_OR_RETURN(std::unique_ptr<ImageSource> source, open_image_source(path));
  std::vector<std::uint8_t> head(limit);
  std::size_t filled = 0;
  while (filled < limit) {
    RAVIK_ASSIGN_OR_RETURN(const std::size_t count,
                           source->read(std::span(head).subspan(filled)));
    if (count == 0) break;
    filled += count;
  }
  head.resize(filled);
  return head;
}

}  // namespace ravik::job
