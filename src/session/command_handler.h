// handle_command: executes one command of a device session on the held
// transaction and writes the event that answers it.
//
// Each command claims its operation ID in the transaction, does its work,
// checks for cancellation where the command requires it, marks the operation
// finished for the reader, writes its answer, and tells the loop whether the
// session goes on. On failure nothing is written here: the loop writes the
// error event. Runs on the session's main thread only.
#ifndef RAVIK_SESSION_COMMAND_HANDLER_H_
#define RAVIK_SESSION_COMMAND_HANDLER_H_

#include <expected>
#include <optional>
#include <string>

#include "error/helper_error.h"
#include "protocol/buffered_output.h"
#include "protocol/client_message.h"
#include "session/event_context.h"
#include "session/operation_state.h"
#include "session/session_clock.h"
#include "transaction/held_transaction.h"

namespace ravik {

enum class CommandOutcome {
  kGoOn,
  kStop,  // eject, release or close succeeded: the session ends successfully
};

struct CommandFailure {
  HelperError error;
  // The failed command's operationId (for cancel only when it carried one).
  std::optional<std::string> operation_id;
};

// What handle_command works with; all borrowed for the call.
struct CommandScope {
  HeldTransaction& transaction;
  const EventContext& context;
  BufferedOutput& output;
  OperationState& state;
  SessionClock& clock;
};

[[nodiscard]] std::expected<CommandOutcome, CommandFailure> handle_command(
    CommandScope& scope, const ClientMessage& message);

}  // namespace ravik

#endif  // RAVIK_SESSION_COMMAND_HANDLER_H_
