#include "platform/macos/disk_claim.h"

#include <cstdio>
#include <mutex>
#include <vector>

namespace ravik::macos {
namespace {

// Keeps the completion records of timed-out operations for the rest of the
// process: Disk Arbitration may still call back with them. They stay
// reachable from here rather than leaked.
void keep_for_late_callback(std::unique_ptr<OperationCompletion> record) {
  static std::mutex mutex;
  static auto* abandoned = new std::vector<std::unique_ptr<OperationCompletion>>();
  const std::lock_guard lock(mutex);
  abandoned->push_back(std::move(record));
}

}  // namespace

void OperationCompletion::complete(ArbitrationStatus status) {
  {
    const std::lock_guard lock(mutex_);
    if (status_) return;
    status_ = status;
  }
  completed_.notify_all();
}

std::optional<ArbitrationStatus> OperationCompletion::result() const {
  const std::lock_guard lock(mutex_);
  return status_;
}

std::optional<ArbitrationStatus> OperationCompletion::wait_for(
    std::chrono::nanoseconds limit) {
  std::unique_lock lock(mutex_);
  completed_.wait_for(lock, limit, [&] { return status_.has_value(); });
  return status_;
}

std::string render_status(ArbitrationStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x",
                static_cast<unsigned>(static_cast<std::uint32_t>(status)));
  return text;
}

ArbitrationStatus deny_claim_release() { return kStatusBusy; }

ArbitrationStatus HoldGuard::answer_unmount() {
  // Another party's unmount that arrives while one of the helper's own is
  // in flight cannot be told from it and passes; the helper unmounts the
  // whole disk anyway.
  return own_unmounts_.load() > 0 ? 0 : kStatusExclusiveAccess;
}

ArbitrationStatus HoldGuard::answer_eject() {
  return own_eject_.load() ? 0 : kStatusExclusiveAccess;
}

void HoldGuard::disk_disappeared(const DescriptionDictionary* snapshot) {
  // Partitions of the unit disappear too, and a disk object compares by
  // BSD name alone: only this appearance of the whole disk counts.
  if (snapshot == nullptr) return;
  const Result<DiskSnapshot> gone = read_snapshot(*snapshot);
  if (gone && *gone == held_) disappearance_.complete(0);
}

DiskClaim::DiskClaim(std::shared_ptr<MacSystem> system,
                     std::unique_ptr<ArbitrationSession> session,
                     std::unique_ptr<ArbitrationDisk> disk, std::int64_t bsd_unit)
    : system_(std::move(system)),
      session_(std::move(session)),
      disk_(std::move(disk)),
      bsd_unit_(bsd_unit) {}

DiskClaim::~DiskClaim() {
  if (claimed_ && disk_->is_claimed()) disk_->unclaim();
  if (watching_) disk_->unwatch();
  // No callback runs after this, so the guard may go with the claim.
  session_->stop_serving();
  disk_.reset();
  session_.reset();
}

template <class Start>
Result<ArbitrationStatus> DiskClaim::wait_for(Start start) {
  auto record = std::make_unique<OperationCompletion>();
  start(record.get());
  const std::optional<ArbitrationStatus> status =
      system_->wait(*record, kOperationTimeLimit);
  if (!status) {
    keep_for_late_callback(std::move(record));
    return fail(codes::kTimeout, std::string(kOperationTimeout));
  }
  return *status;
}

Result<Description> DiskClaim::description() {
  const std::unique_ptr<DescriptionDictionary> dictionary = disk_->copy_description();
  if (!dictionary) {
    return fail(codes::kDeviceDisconnected,
                "Disk Arbitration could not describe the selected disk.");
  }
  return read_description(*dictionary);
}

Result<void> DiskClaim::unmount_whole() {
  if (guard_) guard_->own_unmount_started();
  const Result<ArbitrationStatus> status =
      wait_for([&](OperationCompletion* record) { disk_->unmount_whole(record); });
  if (guard_) guard_->own_unmount_ended();
  if (!status) return fail(status.error());
  if (*status != 0) {
    return fail(codes::kUnmountFailed,
                "Disk Arbitration could not unmount the selected disk (status " +
                    render_status(*status) + ").");
  }
  return {};
}

Result<void> DiskClaim::claim(const DiskSnapshot& held) {
  guard_ = std::make_unique<HoldGuard>(held);
  RAVIK_ASSIGN_OR_RETURN(
      const ArbitrationStatus status,
      wait_for([&](OperationCompletion* record) { disk_->claim(record, guard_.get()); }));
  if (status != 0 || !disk_->is_claimed()) {
    return fail(codes::kDeviceNotRemovable,
                "Could not exclusively claim the selected disk (status " +
                    render_status(status) + ").");
  }
  claimed_ = true;
  // A partition the daemon finds from now on is not mounted, and nobody
  // else takes the disk down under the hold.
  disk_->watch(guard_.get(), bsd_unit_);
  watching_ = true;
  return {};
}

Result<void> DiskClaim::eject() {
  guard_->own_eject_started();
  const Result<ArbitrationStatus> status =
      wait_for([&](OperationCompletion* record) { disk_->eject(record); });
  guard_->own_eject_ended();
  if (!status) return fail(status.error());
  if (*status != 0) {
    return fail(codes::kSafeReleaseFailed,
                "Disk Arbitration could not eject the selected disk (status " +
                    render_status(*status) + ").");
  }
  RAVIK_RETURN_IF_ERROR(confirm_gone());
  claimed_ = false;
  disk_->unwatch();
  watching_ = false;
  return {};
}

Result<void> DiskClaim::confirm_gone() {
  // A successful eject only says the request went through (a driver that
  // cannot eject answers it as a success too); the disk is gone only once
  // the kernel terminated its media, which the daemon reports as the
  // disappearance of the held disk, after which it knows the disk no more.
  if (!system_->wait(guard_->disappearance(), kOperationTimeLimit)) {
    return fail(codes::kTimeout, std::string(kOperationTimeout));
  }
  if (disk_->copy_description() != nullptr) {
    return fail(codes::kSafeReleaseFailed,
                "Disk Arbitration still describes the selected disk after its eject.");
  }
  return {};
}

}  // namespace ravik::macos
