#include "support/loop_device_fixture.h"

#include <cstdlib>
#include <string_view>

namespace ravik::testing {

bool loop_devices_required() {
#if RAVIK_REQUIRE_LOOP_DEVICES
  return true;
#else
  const char* value = std::getenv("RAVIK_REQUIRE_LOOP_DEVICES");
  return value != nullptr && *value != '\0' && std::string_view(value) != "0";
#endif
}

}  // namespace ravik::testing
