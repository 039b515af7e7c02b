// The command loop of the session's main thread: receives what the reader
// hands over, applies the session rules (format-only sessions and sessions
// whose write failed accept only some commands), executes the rest through
// handle_command, and reports every failure as an error event.
//
// Main thread only; shares the operation state with the reader.
#ifndef RAVIK_SESSION_COMMAND_LOOP_H_
#define RAVIK_SESSION_COMMAND_LOOP_H_

#include "error/helper_error.h"
#include "protocol/buffered_output.h"
#include "session/channel.h"
#include "session/command_handler.h"
#include "session/operation_state.h"
#include "session/reader_message.h"
#include "transaction/held_transaction.h"

namespace ravik {

// Which commands the session serves, fixed when the write phase ends.
enum class SessionMode {
  kFormatOnly,  // opened by open_format
  kComplete,    // the image was written
  kRetainedAfterWriteFailure,
  kReadOnly,  // opened by open_read: nothing that writes
};

// The rejection of `message` in `mode`, or nothing when it may run.
std::optional<HelperError> session_rule_rejection(SessionMode mode,
                                                  const ClientMessage& message);

// Runs until a command ends the session (success), the reader reports a
// failure (that error, after an error event that does not retain the
// session), the channel closes, or an event cannot be written.
Result<void> run_command_loop(CommandScope& scope, SessionMode mode,
                              ChannelReceiver<ReaderMessage>& receiver);

}  // namespace ravik

#endif  // RAVIK_SESSION_COMMAND_LOOP_H_
