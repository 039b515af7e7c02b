// Long names (VFAT): encoding a name into the long-name entries that precede
// its short entry, decoding a run of such entries back into UTF-16 while
// checking order and checksum, and the case-insensitive comparison used to
// look names up. Pure functions and a small value-type decoder;
// thread-compatible.
#ifndef RAVIK_FATFS_LONG_NAME_H_
#define RAVIK_FATFS_LONG_NAME_H_

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fatfs/dir_entry.h"

namespace fatfs {

inline constexpr std::size_t kCharsPerLongEntry = 13;

// The long-name entries for `name` (ASCII), in on-disk order: the entry with
// the highest sequence number first, the one holding the first characters
// last, just before the short entry whose checksum they carry.
std::vector<DirEntry> encode_long_name(std::string_view name, std::uint8_t checksum);

// Collects the long-name entries before a short entry. Feed every entry in
// directory order; `finish` with the short entry returns the long name when
// a complete, correctly ordered run with the short entry's checksum came
// just before it. Orphaned or damaged runs are dropped, as other systems do.
class LongNameDecoder {
 public:
  void feed(const DirEntry& entry);
  std::optional<std::u16string> finish(const DirEntry& short_entry);
  void reset() { active_ = false; }

 private:
  std::array<char16_t, 20 * kCharsPerLongEntry> chars_{};
  bool active_ = false;
  std::uint8_t expected_ = 0;  // the sequence number the next entry must carry
  std::uint8_t count_ = 0;
  std::uint8_t checksum_ = 0;
};

// ASCII-case-insensitive equality of a UTF-16 long name and an ASCII name.
bool long_name_matches(std::u16string_view long_name, std::string_view name);
// ASCII-case-insensitive equality of two ASCII names.
bool ascii_iequal(std::string_view a, std::string_view b);
// UTF-8 for display; unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);

}  // namespace fatfs

#endif  // RAVIK_FATFS_LONG_NAME_H_
