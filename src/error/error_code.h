// The closed vocabulary of error codes shared by every mode of the helper.
//
// An ErrorCode can only be made at compile time (its constructor is consteval),
// so every code in the program is one of the constants below and never text
// assembled at run time. Values are trivially copyable and thread-compatible.
#ifndef RAVIK_ERROR_ERROR_CODE_H_
#define RAVIK_ERROR_ERROR_CODE_H_

#include <string_view>

namespace ravik {

class ErrorCode {
 public:
  consteval explicit ErrorCode(std::string_view text) : text_(text) {}

  constexpr std::string_view text() const { return text_; }

  friend constexpr bool operator==(ErrorCode a, ErrorCode b) {
    return a.text_ == b.text_;
  }

 private:
  std::string_view text_;
};

namespace codes {
inline constexpr ErrorCode kProtocolError{"PROTOCOL_ERROR"};
inline constexpr ErrorCode kUnknown{"UNKNOWN"};
inline constexpr ErrorCode kCanceled{"CANCELED"};
inline constexpr ErrorCode kTimeout{"TIMEOUT"};
inline constexpr ErrorCode kImageMissing{"IMAGE_MISSING"};
inline constexpr ErrorCode kWriteFailed{"WRITE_FAILED"};
inline constexpr ErrorCode kVerifyMismatch{"VERIFY_MISMATCH"};
inline constexpr ErrorCode kDeviceTooSmall{"DEVICE_TOO_SMALL"};
inline constexpr ErrorCode kDeviceNotRemovable{"DEVICE_NOT_REMOVABLE"};
inline constexpr ErrorCode kDeviceDisconnected{"DEVICE_DISCONNECTED"};
inline constexpr ErrorCode kUnmountFailed{"UNMOUNT_FAILED"};
inline constexpr ErrorCode kSafeReleaseFailed{"SAFE_RELEASE_FAILED"};
inline constexpr ErrorCode kBootCheckFailed{"BOOT_CHECK_FAILED"};
inline constexpr ErrorCode kToolMissing{"TOOL_MISSING"};
inline constexpr ErrorCode kLockUnavailable{"LOCK_UNAVAILABLE"};
inline constexpr ErrorCode kLockUnsafe{"LOCK_UNSAFE"};
inline constexpr ErrorCode kLockProtocol{"LOCK_PROTOCOL"};
inline constexpr ErrorCode kMaintenanceBusy{"MAINTENANCE_BUSY"};
inline constexpr ErrorCode kMaintenanceProtocol{"MAINTENANCE_PROTOCOL"};
inline constexpr ErrorCode kMaintenanceProvisioningRequired{
    "MAINTENANCE_PROVISIONING_REQUIRED"};
inline constexpr ErrorCode kMaintenanceUnavailable{"MAINTENANCE_UNAVAILABLE"};
inline constexpr ErrorCode kSudoLaunchDenied{"SUDO_LAUNCH_DENIED"};
inline constexpr ErrorCode kSudoLaunchFailed{"SUDO_LAUNCH_FAILED"};
}  // namespace codes

// The code to put into the errorCode member of an event: the codes the
// application knows how to present pass through, everything else (protocol,
// lock and maintenance codes included) becomes "UNKNOWN". Takes text so that
// a code differing only in letter case maps to "UNKNOWN" too.
std::string_view raw_error_code(std::string_view code);

}  // namespace ravik

#endif  // RAVIK_ERROR_ERROR_CODE_H_
