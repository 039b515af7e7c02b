// FakeClock: a session clock that stands still until the code under test
// sleeps, so waits and time limits are driven exactly and instantly. Every
// sleep is recorded.
#ifndef RAVIK_TESTS_SUPPORT_FAKE_CLOCK_H_
#define RAVIK_TESTS_SUPPORT_FAKE_CLOCK_H_

#include <chrono>
#include <vector>

#include "session/session_clock.h"

namespace ravik::testing {

class FakeClock final : public SessionClock {
 public:
  TimePoint now() override { return now_; }
  void sleep_for(std::chrono::milliseconds duration) override {
    sleeps.push_back(duration);
    now_ += duration;
  }

  std::vector<std::chrono::milliseconds> sleeps;

 private:
  TimePoint now_{};
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_FAKE_CLOCK_H_
