#include "session/operation_state.h"

#include "io/sha256.h"

namespace ravik {
namespace {

// Computed before the lock is taken: an ID can be up to a frame long.
std::string id_digest(std::string_view operation_id) {
  return Sha256::hex_of(std::span(
      reinterpret_cast<const std::uint8_t*>(operation_id.data()), operation_id.size()));
}

}  // namespace

bool OperationState::try_begin(std::string_view operation_id) {
  std::lock_guard lock(mutex_);
  if (active_operation_) return false;
  active_operation_.emplace(operation_id);
  return true;
}

CancelDecision OperationState::decide_cancel(
    const std::optional<std::string>& operation_id, std::atomic<bool>& cancel_flag) {
  const std::string digest = operation_id ? id_digest(*operation_id) : std::string();
  std::lock_guard lock(mutex_);
  if (active_operation_) {
    if (operation_id && *operation_id != *active_operation_) {
      return CancelDecision::kMismatch;
    }
    cancel_flag.store(true);
    return CancelDecision::kAppliedToActive;
  }
  if (operation_id && completed_operations_.contains(digest)) {
    return CancelDecision::kLate;
  }
  cancel_flag.store(true);
  return CancelDecision::kForward;
}

void OperationState::complete(std::string_view operation_id) {
  std::string digest = id_digest(operation_id);
  std::lock_guard lock(mutex_);
  if (!active_operation_ || *active_operation_ != operation_id) return;
  active_operation_.reset();
  // An ID can come back only if the transaction let it be claimed twice; the
  // history then keeps one entry for it, not two.
  if (completed_operations_.contains(digest)) return;
  completed_operations_.insert(digest);
  recent_operations_.push_back(std::move(digest));
  if (recent_operations_.size() > kHistoryLimit) {
    completed_operations_.erase(recent_operations_.front());
    recent_operations_.pop_front();
  }
}

std::optional<std::string> OperationState::active_operation() const {
  std::lock_guard lock(mutex_);
  return active_operation_;
}

bool OperationState::is_completed(std::string_view operation_id) const {
  const std::string digest = id_digest(operation_id);
  std::lock_guard lock(mutex_);
  return completed_operations_.contains(digest);
}

std::size_t OperationState::history_size() const {
  std::lock_guard lock(mutex_);
  return recent_operations_.size();
}

void complete_reader_operation(OperationState& state,
                               const std::optional<std::string>& operation_id) {
  if (operation_id) state.complete(*operation_id);
}

}  // namespace ravik
