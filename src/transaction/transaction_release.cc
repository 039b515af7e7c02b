// Ending the hold: close, eject, and the steps of a release.
#include "transaction/held_transaction.h"

namespace ravik {

Result<void> HeldTransaction::prepare_eject() {
  // Checked before any device work, so a refused eject changes nothing.
  if (boot_partition_) {
    return fail(codes::kSafeReleaseFailed,
                "Close the boot session before ejecting the target.");
  }
  RAVIK_RETURN_IF_ERROR(device_->sync_all());
  return device_->verify_current_identity();
}

Result<void> HeldTransaction::eject_prepared() { return device_->eject(); }

Result<void> HeldTransaction::eject() {
  RAVIK_RETURN_IF_ERROR(prepare_eject());
  return device_->eject();
}

Result<bool> HeldTransaction::exact_detach_confirmed() {
  return device_->exact_detach_confirmed();
}

Result<void> HeldTransaction::close() {
  boot_partition_.reset();
  RAVIK_RETURN_IF_ERROR(device_->sync_all());
  return device_->verify_current_identity();
}

}  // namespace ravik
