// SessionClock: the monotonic clock and the sleep the session uses for rates
// and for the release wait, behind an interface so that tests can run a
// 60-second wait in microseconds.
//
// Implementations must be callable from the session's main thread; the system
// clock is stateless and thread-safe.
#ifndef RAVIK_SESSION_SESSION_CLOCK_H_
#define RAVIK_SESSION_SESSION_CLOCK_H_

#include <chrono>
#include <cstdint>

namespace ravik {

class SessionClock {
 public:
  using TimePoint = std::chrono::steady_clock::time_point;

  virtual ~SessionClock() = default;
  virtual TimePoint now() = 0;
  virtual void sleep_for(std::chrono::milliseconds duration) = 0;
};

// The steady clock and a real sleep.
class SystemSessionClock final : public SessionClock {
 public:
  TimePoint now() override;
  void sleep_for(std::chrono::milliseconds duration) override;
};

}  // namespace ravik

#endif  // RAVIK_SESSION_SESSION_CLOCK_H_
