// DiskClaim: one Disk Arbitration session scheduled on the opening thread's
// run loop, the disk object of the selected whole disk, and the exclusive
// claim on it once granted. Unmount, claim and eject are done synchronously
// by running the run loop until the completion callback reports or the time
// limit passes. Destruction releases the claim if it is still held, then
// unschedules and releases the session. Used by the opening thread only.
#ifndef RAVIK_PLATFORM_MACOS_DISK_CLAIM_H_
#define RAVIK_PLATFORM_MACOS_DISK_CLAIM_H_

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "platform/macos/description.h"
#include "platform/macos/mac_system.h"

namespace ravik::macos {

// How long an unmount, claim or eject may take, and the run-loop slice in
// which completion is noticed.
inline constexpr std::chrono::seconds kOperationTimeLimit{30};
inline constexpr std::chrono::milliseconds kWaitSlice{50};

inline constexpr std::string_view kOperationTimeout =
    "Disk Arbitration did not complete the device operation within 30 seconds.";

// "0x" and the lower-case hexadecimal digits of the 32-bit value, unpadded:
// "0xf8da0002", "0x0".
std::string render_status(ArbitrationStatus status);

// The claim's answer to every request to release it: a dissenter of
// kStatusBusy, so the disk stays claimed while it is held.
ArbitrationStatus deny_claim_release();

class DiskClaim {
 public:
  // `session` is scheduled; `disk` was created in it.
  DiskClaim(std::shared_ptr<MacSystem> system,
            std::unique_ptr<ArbitrationSession> session,
            std::unique_ptr<ArbitrationDisk> disk);
  DiskClaim(const DiskClaim&) = delete;
  DiskClaim& operator=(const DiskClaim&) = delete;
  ~DiskClaim();

  // A fresh snapshot; DEVICE_DISCONNECTED "Disk Arbitration could not
  // describe the selected disk." when none is returned, the reader's
  // refusals otherwise.
  Result<Description> description();
  // UNMOUNT_FAILED with the status when refused; TIMEOUT.
  Result<void> unmount_whole();
  // DEVICE_NOT_REMOVABLE with the status unless the claim completed with
  // status 0 and the disk reports itself claimed; TIMEOUT.
  Result<void> claim();
  // SAFE_RELEASE_FAILED with the status when refused; TIMEOUT. A successful
  // eject ends the claim, so destruction does not release it again.
  Result<void> eject();

  // Whether Disk Arbitration reports the disk as claimed.
  bool is_claimed() { return disk_->is_claimed(); }
  bool claimed() const { return claimed_; }

 private:
  // Starts an operation through `start` and runs the run loop until its
  // completion record is filled; returns the status.
  template <class Start>
  Result<ArbitrationStatus> wait_for(Start start);

  std::shared_ptr<MacSystem> system_;
  std::unique_ptr<ArbitrationSession> session_;
  std::unique_ptr<ArbitrationDisk> disk_;
  bool claimed_ = false;
};

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_DISK_CLAIM_H_
