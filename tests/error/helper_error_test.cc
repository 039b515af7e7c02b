#include "error/helper_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "error/error_code.h"

namespace ravik {
namespace {

TEST(HelperErrorTest, IoFoldsTheSystemTextAndNumberIntoTheMessage) {
  const HelperError error = HelperError::io(
      codes::kLockUnavailable, "Could not open cross-process lock file", EACCES);
  EXPECT_EQ(error.code(), codes::kLockUnavailable);
  EXPECT_EQ(error.message(), std::string("Could not open cross-process lock file: ") +
                                 std::strerror(EACCES) + " (os error 13)");
}

TEST(HelperErrorTest, DisplayIsTheMessageOnly) {
  std::ostringstream out;
  out << HelperError(codes::kWriteFailed, "The target write failed.");
  EXPECT_EQ(out.str(), "The target write failed.");
}

TEST(HelperErrorTest, RawErrorCodeKeepsEventCodesAndHidesTheRest) {
  for (std::string_view kept :
       {"TIMEOUT", "CANCELED", "XZ_INVALID", "WRITE_FAILED", "TOOL_MISSING",
        "IMAGE_MISSING", "UNMOUNT_FAILED", "VERIFY_MISMATCH", "ELEVATION_DENIED",
        "DEVICE_TOO_SMALL", "BOOT_CHECK_FAILED", "PRIVILEGE_EXPIRED",
        "SAFE_RELEASE_FAILED", "DEVICE_DISCONNECTED", "DEVICE_NOT_REMOVABLE"}) {
    EXPECT_EQ(raw_error_code(kept), kept);
  }
  for (ErrorCode hidden :
       {codes::kProtocolError, codes::kUnknown, codes::kLockUnavailable,
        codes::kLockUnsafe, codes::kLockProtocol, codes::kMaintenanceBusy,
        codes::kMaintenanceProtocol, codes::kMaintenanceProvisioningRequired,
        codes::kMaintenanceUnavailable, codes::kSudoLaunchDenied,
        codes::kSudoLaunchFailed}) {
    EXPECT_EQ(raw_error_code(hidden.text()), "UNKNOWN") << hidden.text();
  }
  EXPECT_EQ(raw_error_code("write_failed"), "UNKNOWN");
  EXPECT_EQ(raw_error_code("Canceled"), "UNKNOWN");
}

Result<int> half(int value) {
  if (value % 2 != 0) return fail(codes::kProtocolError, "odd");
  return value / 2;
}

Result<int> quarter(int value) {
  RAVIK_ASSIGN_OR_RETURN(const int halved, half(value));
  RAVIK_RETURN_IF_ERROR(half(halved));
  return halved / 2;
}

TEST(HelperErrorTest, MacrosPassTheFirstErrorUpUnchanged) {
  EXPECT_EQ(quarter(8).value(), 2);
  const Result<int> odd = quarter(6);
  ASSERT_FALSE(odd);
  EXPECT_EQ(odd.error().code(), codes::kProtocolError);
  EXPECT_EQ(odd.error().message(), "odd");
}

}  // namespace
}  // namespace ravik
