#include "error/error_code.h"

#include <array>

namespace ravik {

std::string_view raw_error_code(std::string_view code) {
  static constexpr std::array<std::string_view, 15> kPassedThrough = {
      "TIMEOUT",
      "CANCELED",
      "XZ_INVALID",
      "WRITE_FAILED",
      "TOOL_MISSING",
      "IMAGE_MISSING",
      "UNMOUNT_FAILED",
      "VERIFY_MISMATCH",
      "ELEVATION_DENIED",
      "DEVICE_TOO_SMALL",
      "BOOT_CHECK_FAILED",
      "PRIVILEGE_EXPIRED",
      "SAFE_RELEASE_FAILED",
      "DEVICE_DISCONNECTED",
      "DEVICE_NOT_REMOVABLE",
  };
  for (std::string_view known : kPassedThrough) {
    if (code == known) return known;
  }
  return "UNKNOWN";
}

}  // namespace ravik
