#include "session/session_clock.h"

#include <thread>

namespace ravik {

SessionClock::TimePoint SystemSessionClock::now() {
  return std::chrono::steady_clock::now();
}

void SystemSessionClock::sleep_for(std::chrono::milliseconds duration) {
  std::this_thread::sleep_for(duration);
}

}  // namespace ravik
