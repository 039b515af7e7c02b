#include "transaction/rates.h"

#include <limits>

namespace ravik {
namespace {

using Wide = unsigned __int128;

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr Wide kNanosPerSecond = 1'000'000'000;

std::uint64_t saturate(Wide value) {
  return value > kMax ? kMax : static_cast<std::uint64_t>(value);
}

Wide nanoseconds_of(std::chrono::nanoseconds duration) {
  return duration.count() > 0 ? static_cast<Wide>(duration.count()) : 0;
}

}  // namespace

std::uint64_t whole_milliseconds(std::chrono::nanoseconds duration) {
  const Wide nanos = nanoseconds_of(duration);
  const Wide seconds = nanos / kNanosPerSecond;
  const Wide sub_second = nanos % kNanosPerSecond;
  return saturate(seconds * 1000 + sub_second / 1'000'000);
}

std::uint64_t write_speed_bps(std::uint64_t bytes, std::chrono::nanoseconds duration) {
  const Wide nanos = nanoseconds_of(duration);
  return saturate(static_cast<Wide>(bytes) * kNanosPerSecond / (nanos == 0 ? 1 : nanos));
}

std::uint64_t progress_speed_bps(std::uint64_t bytes, std::chrono::nanoseconds elapsed) {
  const Wide nanos = nanoseconds_of(elapsed);
  if (nanos == 0) return 0;
  return saturate(static_cast<Wide>(bytes) * kNanosPerSecond / nanos);
}

}  // namespace ravik
