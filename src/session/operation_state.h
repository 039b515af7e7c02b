// OperationState: which operation the session is running and which ones have
// recently finished, shared by the session's main thread and its command
// reader.
//
// Thread-safe: every member function takes the one internal mutex for a
// short, bounded piece of work and never blocks on anything else while
// holding it. The reader marks an operation active before it hands the
// command over, and the main thread completes it before it writes the
// operation's final event, so a cancel frame read meanwhile is always judged
// against the right state.
#ifndef RAVIK_SESSION_OPERATION_STATE_H_
#define RAVIK_SESSION_OPERATION_STATE_H_

#include <atomic>
#include <cstddef>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace ravik {

// How the reader is to treat a cancel frame, decided under the state lock.
enum class CancelDecision {
  // An operation runs and the frame names it (or names none): the flag was
  // set; the running operation reports the cancellation, the frame is dropped.
  kAppliedToActive,
  // An operation runs and the frame names a different one.
  kMismatch,
  // Nothing runs and the frame names an operation that already finished.
  kLate,
  // Nothing runs and the frame names no known operation: the flag was set and
  // the cancel goes on to the main thread as a command.
  kForward,
};

class OperationState {
 public:
  static constexpr std::size_t kHistoryLimit = 128;

  OperationState() = default;
  OperationState(const OperationState&) = delete;
  OperationState& operator=(const OperationState&) = delete;

  // Marks `operation_id` active. Returns false, changing nothing, while
  // another operation is active.
  bool try_begin(std::string_view operation_id);

  // Judges a cancel frame naming `operation_id` (absent: the transaction as a
  // whole). Stores true into `cancel_flag` under the lock for the decisions
  // that say so, so that a completion racing with the frame sees either the
  // flag set or the frame judged late, never neither.
  CancelDecision decide_cancel(const std::optional<std::string>& operation_id,
                               std::atomic<bool>& cancel_flag);

  // Marks `operation_id` finished if it is the active one; otherwise changes
  // nothing. The history keeps the last kHistoryLimit finished IDs.
  void complete(std::string_view operation_id);

  // Observers, for the session's checks and for tests.
  std::optional<std::string> active_operation() const;
  bool is_completed(std::string_view operation_id) const;
  std::size_t history_size() const;

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> active_operation_;
  // Finished IDs are kept as their SHA-256 digests (lower-case hex), so that
  // the history takes the same small memory whatever the IDs' lengths.
  std::deque<std::string> recent_operations_;
  std::set<std::string, std::less<>> completed_operations_;
};

// Marks the operation finished for the reader; does nothing without an ID.
// The main thread calls it for every command that carried an operation ID,
// before the command's final event is written.
void complete_reader_operation(OperationState& state,
                               const std::optional<std::string>& operation_id);

}  // namespace ravik

#endif  // RAVIK_SESSION_OPERATION_STATE_H_
