// Clock: where the library gets the time it stamps on directory entries, and
// the conversion to the FAT's two-second, local-time date and time fields.
// SystemClock reads the machine's local time. Implementations must be safe
// to call from the thread using the file system; SystemClock is thread-safe.
#ifndef RAVIK_FATFS_CLOCK_H_
#define RAVIK_FATFS_CLOCK_H_

#include <cstdint>

namespace fatfs {

struct DateTime {
  int year = 1980;  // 1980 to 2107 are representable
  int month = 1;    // 1 to 12
  int day = 1;      // 1 to 31
  int hour = 0;
  int minute = 0;
  int second = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual DateTime now() const = 0;
};

class SystemClock final : public Clock {
 public:
  DateTime now() const override;
};

struct DosTimestamp {
  std::uint16_t date = 0;
  std::uint16_t time = 0;
};

// Dates outside 1980 to 2107 are clamped to the nearest end of that range.
DosTimestamp to_dos(const DateTime& when);
DateTime from_dos(DosTimestamp stamp);

}  // namespace fatfs

#endif  // RAVIK_FATFS_CLOCK_H_
