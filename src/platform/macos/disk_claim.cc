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

std::string render_status(ArbitrationStatus status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%x",
                static_cast<unsigned>(static_cast<std::uint32_t>(status)));
  return text;
}

ArbitrationStatus deny_claim_release() { return kStatusBusy; }

DiskClaim::DiskClaim(std::shared_ptr<MacSystem> system,
                     std::unique_ptr<ArbitrationSession> session,
                     std::unique_ptr<ArbitrationDisk> disk)
    : system_(std::move(system)), session_(std::move(session)), disk_(std::move(disk)) {}

DiskClaim::~DiskClaim() {
  if (claimed_ && disk_->is_claimed()) disk_->unclaim();
  session_->unschedule_from_run_loop();
  disk_.reset();
  session_.reset();
}

template <class Start>
Result<ArbitrationStatus> DiskClaim::wait_for(Start start) {
  auto record = std::make_unique<OperationCompletion>();
  start(record.get());
  const auto started = system_->now();
  while (!record->done) {
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::seconds>(system_->now() - started);
    if (elapsed >= kOperationTimeLimit) {
      keep_for_late_callback(std::move(record));
      return fail(codes::kTimeout, std::string(kOperationTimeout));
    }
    system_->run_loop_once(kWaitSlice);
  }
  return record->status;
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
  RAVIK_ASSIGN_OR_RETURN(
      const ArbitrationStatus status,
      wait_for([&](OperationCompletion* record) { disk_->unmount_whole(record); }));
  if (status != 0) {
    return fail(codes::kUnmountFailed,
                "Disk Arbitration could not unmount the selected disk (status " +
                    render_status(status) + ").");
  }
  return {};
}

Result<void> DiskClaim::claim() {
  RAVIK_ASSIGN_OR_RETURN(const ArbitrationStatus status,
                         wait_for([&](OperationCompletion* record) {
                           disk_->claim(record, deny_claim_release);
                         }));
  if (status != 0 || !disk_->is_claimed()) {
    return fail(codes::kDeviceNotRemovable,
                "Could not exclusively claim the selected disk (status " +
                    render_status(status) + ").");
  }
  claimed_ = true;
  return {};
}

Result<void> DiskClaim::eject() {
  RAVIK_ASSIGN_OR_RETURN(
      const ArbitrationStatus status,
      wait_for([&](OperationCompletion* record) { disk_->eject(record); }));
  if (status != 0) {
    return fail(codes::kSafeReleaseFailed,
                "Disk Arbitration could not eject the selected disk (status " +
                    render_status(status) + ").");
  }
  claimed_ = false;
  return {};
}

}  // namespace ravik::macos
