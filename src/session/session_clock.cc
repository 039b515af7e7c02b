#include "session/session_clock.h"

#include <limits>
#include <thread>

namespace ravik {

SessionClock::TimePoint SystemSessionClock::now() {
  return std::chrono::steady_clock::now();
}

void SystemSessionClock::sleep_for(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

std::uint64_t bytes_per_second(std::uint64_t bytes, std::chrono::nanoseconds elapsed) {
  if (elapsed.count() <= 0) return 0;
  // Exact in 128 bits: bytes / (ns / 1e9) == bytes * 1e9 / ns.
  const unsigned __int128 rate = static_cast<unsigned __int128>(bytes) * 1'000'000'000u /
                                 static_cast<unsigned __int128>(elapsed.count());
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  return rate > kMax ? kMax : static_cast<std::uint64_t>(rate);
}

}  // namespace ravik
