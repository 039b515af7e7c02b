// DirEntry: the 32-byte directory entry of a FAT volume, with accessors for
// the fields the library reads and writes (short name, attributes, first
// cluster, size, timestamps) and the checksum that ties long-name entries to
// their short entry. Values; thread-compatible.
#ifndef RAVIK_FATFS_DIR_ENTRY_H_
#define RAVIK_FATFS_DIR_ENTRY_H_

#include <array>
#include <cstdint>
#include <span>
#include <string>

#include "fatfs/clock.h"

namespace fatfs {

inline constexpr std::size_t kDirEntrySize = 32;
inline constexpr std::uint8_t kEntryFree = 0xE5;  // first name byte of a deleted entry
inline constexpr std::uint8_t kEntryEnd = 0x00;   // first name byte after the last entry

namespace attr {
inline constexpr std::uint8_t kReadOnly = 0x01;
inline constexpr std::uint8_t kHidden = 0x02;
inline constexpr std::uint8_t kSystem = 0x04;
inline constexpr std::uint8_t kVolumeId = 0x08;
inline constexpr std::uint8_t kDirectory = 0x10;
inline constexpr std::uint8_t kArchive = 0x20;
inline constexpr std::uint8_t kLongName = 0x0F;
}  // namespace attr

using ShortName = std::array<std::uint8_t, 11>;

class DirEntry {
 public:
  DirEntry() { bytes_.fill(0); }
  explicit DirEntry(std::span<const std::uint8_t> raw);

  std::span<const std::uint8_t> bytes() const { return bytes_; }

  bool is_end() const { return bytes_[0] == kEntryEnd; }
  bool is_deleted() const { return bytes_[0] == kEntryFree; }
  bool is_long_name() const { return (attributes() & 0x3F) == attr::kLongName; }
  bool is_volume_label() const {
    return !is_long_name() && (attributes() & attr::kVolumeId) != 0;
  }
  bool is_directory() const { return (attributes() & attr::kDirectory) != 0; }

  // The 11 name bytes as stored on disk, 0x05 in the first byte turned back
  // into the 0xE5 it stands for.
  ShortName short_name() const;
  void set_short_name(const ShortName& name);
  // "NAME.EXT" with padding removed and the lower-case flags of Windows NT
  // applied; bytes outside printable ASCII become '?'.
  std::string display_short_name() const;

  std::uint8_t attributes() const { return bytes_[11]; }
  void set_attributes(std::uint8_t value) { bytes_[11] = value; }
  // The high half is used on FAT32 only.
  std::uint32_t first_cluster(bool fat32) const;
  void set_first_cluster(std::uint32_t cluster);
  std::uint32_t size() const;
  void set_size(std::uint32_t size);
  DosTimestamp modified() const;
  void set_created(DosTimestamp when);
  void set_modified(DosTimestamp when);
  void set_accessed(DosTimestamp when);
  void mark_deleted() { bytes_[0] = kEntryFree; }

 private:
  std::array<std::uint8_t, kDirEntrySize> bytes_;
};

// The checksum stored in every long-name entry of a short entry's name.
std::uint8_t short_name_checksum(const ShortName& name);

}  // namespace fatfs

#endif  // RAVIK_FATFS_DIR_ENTRY_H_
