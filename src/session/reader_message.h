// ReaderMessage: what the command reader hands to the session's main thread
// over their channel: a command to execute, or a failure that ends the
// session. Plain values; moved across threads through the channel.
#ifndef RAVIK_SESSION_READER_MESSAGE_H_
#define RAVIK_SESSION_READER_MESSAGE_H_

#include <optional>
#include <string>
#include <variant>

#include "error/helper_error.h"
#include "protocol/client_message.h"

namespace ravik {

struct ReaderFailure {
  HelperError error;
  // The operation the failing frame named, when it named one.
  std::optional<std::string> operation_id;
  // The input ended cleanly between two frames: the application ended the
  // session.
  bool input_ended = false;
};

using ReaderMessage = std::variant<ClientMessage, ReaderFailure>;

// The operationId a command carries: present for every command but the open
// requests, and for cancel only when the frame named one.
std::optional<std::string> operation_id_of(const ClientMessage& message);

}  // namespace ravik

#endif  // RAVIK_SESSION_READER_MESSAGE_H_
