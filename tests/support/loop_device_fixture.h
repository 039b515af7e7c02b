// The GoogleTest side of loop devices: whether a test that cannot get one is
// skipped or fails, and the macro that does so loudly. The device itself is
// the LoopDevice of tools/loop_device, which the benchmarks share.
#ifndef RAVIK_TESTS_SUPPORT_LOOP_DEVICE_FIXTURE_H_
#define RAVIK_TESTS_SUPPORT_LOOP_DEVICE_FIXTURE_H_

#include <gtest/gtest.h>

#include "loop_device/loop_device.h"

namespace ravik::testing {

// True when a test that cannot get a loop device must fail instead of being
// skipped: configured with -DRAVIK_REQUIRE_LOOP_DEVICES=ON, or run with the
// environment variable RAVIK_REQUIRE_LOOP_DEVICES set to anything but "" or
// "0". CI sets it, so that it never passes with the block-device path
// untested.
bool loop_devices_required();

// Shown, and the test skipped (or failed where loop devices are required),
// where loop devices cannot be made.
#define RAVIK_SKIP_WITHOUT_LOOP_DEVICES(why)                                      \
  do {                                                                            \
    if (::ravik::testing::loop_devices_required()) {                              \
      GTEST_FAIL() << "\n*** LOOP DEVICES UNAVAILABLE: " << (why)                 \
                   << "\n*** They are required (RAVIK_REQUIRE_LOOP_DEVICES).\n";  \
    }                                                                             \
    GTEST_SKIP()                                                                  \
        << "\n*** LOOP DEVICES UNAVAILABLE: " << (why)                            \
        << "\n*** This end-to-end test did NOT run; it is counted as skipped.\n"; \
  } while (0)

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_LOOP_DEVICE_FIXTURE_H_
