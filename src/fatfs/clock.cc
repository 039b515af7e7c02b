#include "fatfs/clock.h"

#include <algorithm>
#include <ctime>

namespace fatfs {

DateTime SystemClock::now() const {
  const std::time_t seconds = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&seconds, &local) == nullptr) return DateTime{};
  return DateTime{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                  local.tm_hour,        local.tm_min,     local.tm_sec};
}

DosTimestamp to_dos(const DateTime& when) {
  if (when.year < 1980) return DosTimestamp{(0 << 9) | (1 << 5) | 1, 0};
  if (when.year > 2107) {
    return DosTimestamp{(127 << 9) | (12 << 5) | 31, (23 << 11) | (59 << 5) | 29};
  }
  const int month = std::clamp(when.month, 1, 12);
  const int day = std::clamp(when.day, 1, 31);
  const int hour = std::clamp(when.hour, 0, 23);
  const int minute = std::clamp(when.minute, 0, 59);
  const int second = std::clamp(when.second, 0, 59);
  return DosTimestamp{
      static_cast<std::uint16_t>(((when.year - 1980) << 9) | (month << 5) | day),
      static_cast<std::uint16_t>((hour << 11) | (minute << 5) | (second / 2))};
}

DateTime from_dos(DosTimestamp stamp) {
  return DateTime{1980 + (stamp.date >> 9), (stamp.date >> 5) & 0x0F,
                  stamp.date & 0x1F,        stamp.time >> 11,
                  (stamp.time >> 5) & 0x3F, (stamp.time & 0x1F) * 2};
}

}  // namespace fatfs
