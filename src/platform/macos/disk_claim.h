// DiskClaim: one Disk Arbitration session served on a dispatch queue of its
// own, the disk object of the selected whole disk, and the exclusive claim
// on it once granted, guarded against other parties' mounts, unmounts and
// ejects while it lasts. Unmount, claim and eject are done synchronously:
// the caller waits for the completion the queue delivers, for at most the
// time limit. Destruction releases the claim if it is still held, takes the
// session off its queue and releases it. Used by one thread at a time; the
// queue's side is HoldGuard's.
#ifndef RAVIK_PLATFORM_MACOS_DISK_CLAIM_H_
#define RAVIK_PLATFORM_MACOS_DISK_CLAIM_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "platform/macos/description.h"
#include "platform/macos/mac_system.h"

namespace ravik::macos {

// How long an unmount, claim or eject may take, and how long a disk may
// take to disappear once its eject succeeded.
inline constexpr std::chrono::seconds kOperationTimeLimit{30};

inline constexpr std::string_view kOperationTimeout =
    "Disk Arbitration did not complete the device operation within 30 seconds.";

// "0x" and the lower-case hexadecimal digits of the 32-bit value, unpadded:
// "0xf8da0002", "0x0".
std::string render_status(ArbitrationStatus status);

// The claim's answer to every request to release it: a dissenter of
// kStatusBusy, so the disk stays claimed while it is held.
ArbitrationStatus deny_claim_release();

// The hold's side of the session's queue. From the claim until the
// helper's own eject has completed, no other party mounts, unmounts or
// ejects the held disk: Disk Arbitration checks a claim only against other
// claimants, so every such request is dissented from, except the helper's
// own requests in flight (which Disk Arbitration puts to this session too).
// It also watches for the disappearance of exactly the held disk.
class HoldGuard final : public HoldCallbacks {
 public:
  explicit HoldGuard(DiskSnapshot held) : held_(std::move(held)) {}

  ArbitrationStatus answer_release_request() override { return deny_claim_release(); }
  ArbitrationStatus answer_mount() override { return kStatusExclusiveAccess; }
  ArbitrationStatus answer_unmount() override;
  ArbitrationStatus answer_eject() override;
  void disk_disappeared(const DescriptionDictionary* snapshot) override;

  // Bracket the helper's own unmount and eject requests.
  void own_unmount_started() { ++own_unmounts_; }
  void own_unmount_ended() { --own_unmounts_; }
  void own_eject_started() { own_eject_ = true; }
  void own_eject_ended() { own_eject_ = false; }
  // Completed once the held disk (this very appearance of it) is gone.
  OperationCompletion& disappearance() { return disappearance_; }

 private:
  const DiskSnapshot held_;
  std::atomic<int> own_unmounts_{0};
  std::atomic<bool> own_eject_{false};
  OperationCompletion disappearance_;
};

class DiskClaim {
 public:
  // `session` serves on its queue; `disk` was created in it; `bsd_unit` is
  // the unit number of the whole disk ("disk4": 4).
  DiskClaim(std::shared_ptr<MacSystem> system,
            std::unique_ptr<ArbitrationSession> session,
            std::unique_ptr<ArbitrationDisk> disk, std::int64_t bsd_unit);
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
  // status 0 and the disk reports itself claimed; TIMEOUT. Once granted,
  // the disk described by `held` is guarded (HoldGuard).
  Result<void> claim(const DiskSnapshot& held);
  // SAFE_RELEASE_FAILED with the status when refused; TIMEOUT, also when the
  // held disk did not disappear after a successful eject; SAFE_RELEASE_FAILED
  // when Disk Arbitration still describes it afterwards. Only a disk proven
  // gone counts as ejected: the claim then ended with it, so destruction
  // does not release it again.
  Result<void> eject();

  // Whether Disk Arbitration reports the disk as claimed (by anyone).
  bool is_claimed() { return disk_->is_claimed(); }
  bool claimed() const { return claimed_; }

 private:
  // Starts an operation through `start` and waits for its completion;
  // returns the status.
  template <class Start>
  Result<ArbitrationStatus> wait_for(Start start);
  Result<void> confirm_gone();

  std::shared_ptr<MacSystem> system_;
  // Outlives the session's serving: the queue calls it until then.
  std::unique_ptr<HoldGuard> guard_;
  std::unique_ptr<ArbitrationSession> session_;
  std::unique_ptr<ArbitrationDisk> disk_;
  std::int64_t bsd_unit_;
  bool claimed_ = false;
  bool watching_ = false;
};

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_DISK_CLAIM_H_
