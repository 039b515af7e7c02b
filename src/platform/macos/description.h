// Description: the snapshot of a disk's Disk Arbitration description from
// which the held disk is identified, and the readers that take each item out
// of the dictionary. Everything read is checked before it is trusted: types,
// numeric range, a size bound on strings and UTF-8. Pure functions over the
// dictionary; thread-compatible.
#ifndef RAVIK_PLATFORM_MACOS_DESCRIPTION_H_
#define RAVIK_PLATFORM_MACOS_DESCRIPTION_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "platform/macos/mac_system.h"

namespace ravik::macos {

// What tells one appearance of a disk from another: Disk Arbitration's
// disk objects compare by BSD name alone, and a disk that vanished and came
// back under the same name has other paths or another appearance time.
struct DiskSnapshot {
  std::string bsd_name;
  std::string device_path;
  std::string media_path;
  double appearance_time = 0;

  friend bool operator==(const DiskSnapshot&, const DiskSnapshot&) = default;
};

struct Description {
  std::string bsd_name;
  std::uint64_t media_size = 0;
  std::uint64_t block_size = 0;
  std::int64_t bsd_major = 0;
  std::int64_t bsd_minor = 0;
  // Absent when the device reports no product name, or has no device-tree
  // ancestor (the bus path names that ancestor, not the disk).
  std::optional<std::string> model;
  std::optional<std::string> bus_path;
  bool whole = false;
  bool writable = false;
  bool removable = false;
  bool ejectable = false;
  std::string device_path;
  std::string media_path;
  double appearance_time = 0;
};

DiskSnapshot snapshot_of(const Description& description);

// The DEVICE_NOT_REMOVABLE failure every macOS check returns, saying `message`.
std::unexpected<HelperError> not_removable(std::string_view message);

// Strings whose buffer (largest UTF-8 size plus the terminating NUL) would
// exceed this many bytes are refused: no identity text is that long.
inline constexpr std::int64_t kStringBufferBound = 16384;

// DEVICE_NOT_REMOVABLE "Disk Arbitration omitted required target identity
// information." when `key` is missing or not a string; the bound, overflow
// and UTF-8 refusals otherwise. The text is cut at its first NUL byte.
Result<std::string> cf_string(const DescriptionDictionary& dictionary,
                              DescriptionKey key);
// The number as a signed 64-bit integer.
Result<std::int64_t> cf_i64(const DescriptionDictionary& dictionary, DescriptionKey key);
Result<bool> cf_bool(const DescriptionDictionary& dictionary, DescriptionKey key);

// The string, or nothing when `key` is absent; refused as cf_string when
// present.
Result<std::optional<std::string>> cf_optional_string(
    const DescriptionDictionary& dictionary, DescriptionKey key);

// Reads every item in the order of the Description's members; negative media
// and block sizes are refused, a missing model or bus path is not.
Result<Description> read_description(const DescriptionDictionary& dictionary);

// The snapshot items alone, as a disappeared disk carries them.
Result<DiskSnapshot> read_snapshot(const DescriptionDictionary& dictionary);

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_DESCRIPTION_H_
