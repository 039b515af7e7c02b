#include "session/operation_state.h"

namespace ravik {

bool OperationState::try_begin(std::string_view operation_id) {
  std::lock_guard lock(mutex_);
  if (active_operation_) return false;
  active_operation_.emplace(operation_id);
  return true;
}

CancelDecision OperationState::decide_cancel(
    const std::optional<std::string>& operation_id, std::atomic<bool>& cancel_flag) {
  std::lock_guard lock(mutex_);
  if (active_operation_) {
    if (operation_id && *operation_id != *active_operation_) {
      return CancelDecision::kMismatch;
    }
    cancel_flag.store(true);
    return CancelDecision::kAppliedToActive;
  }
  if (operation_id && completed_operations_.contains(*operation_id)) {
    return CancelDecision::kLate;
  }
  cancel_flag.store(true);
  return CancelDecision::kForward;
}

void OperationState::complete(std::string_view operation_id) {
  std::lock_guard lock(mutex_);
  if (!active_operation_ || *active_operation_ != operation_id) return;
  std::string id = std::move(*active_operation_);
  active_operation_.reset();
  // An ID can come back only if the transaction let it be claimed twice; the
  // history then keeps one entry for it, not two.
  if (completed_operations_.contains(id)) return;
  completed_operations_.insert(id);
  recent_operations_.push_back(std::move(id));
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
  std::lock_guard lock(mutex_);
  return completed_operations_.contains(operation_id);
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
