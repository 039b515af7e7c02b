// Short (8.3) names: validating the names the library accepts for files,
// recognising names that are already plain upper-case 8.3 names, and
// deriving a unique 8.3 alias with a numeric tail ("LONGNA~1.TXT") for any
// other name. Pure functions; thread-safe.
#ifndef RAVIK_FATFS_SHORT_NAME_H_
#define RAVIK_FATFS_SHORT_NAME_H_

#include <functional>
#include <optional>
#include <string_view>

#include "fatfs/dir_entry.h"
#include "fatfs/error.h"

namespace fatfs {

inline constexpr std::size_t kMaxNameLength = 255;

// Names are 1 to 255 bytes of printable ASCII without the characters a FAT
// long name may not hold ("*/:<>?\|), neither "." nor "..", and without
// leading spaces or trailing dots and spaces (which other systems strip).
Result<void> validate_file_name(std::string_view name);

// The 11-byte form of `name` if it is a plain upper-case 8.3 name that needs
// no long-name entries, else nullopt.
std::optional<ShortName> plain_short_name(std::string_view name);

// A short alias for `name` that `taken` reports as unused: the upper-cased
// name itself when it fits 8.3 without loss, otherwise a basis with a "~N"
// tail. nullopt when every tail up to ~999999 is taken.
std::optional<ShortName> generate_short_name(
    std::string_view name, const std::function<bool(const ShortName&)>& taken);

}  // namespace fatfs

#endif  // RAVIK_FATFS_SHORT_NAME_H_
