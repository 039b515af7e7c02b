#include "session/command_loop.h"

namespace ravik {
namespace {

template <class... Commands>
bool is_one_of(const ClientMessage& message) {
  return (std::holds_alternative<Commands>(message.payload) || ...);
}

}  // namespace

std::optional<HelperError> session_rule_rejection(SessionMode mode,
                                                  const ClientMessage& message) {
  if (mode == SessionMode::kFormatOnly &&
      !is_one_of<RecoverCommand, ProbeCapacityCommand, EjectCommand, CloseCommand,
                 CancelCommand>(message)) {
    return HelperError(codes::kProtocolError,
                       "Only recover, eject, close, or cancel commands are allowed in a "
                       "format-only transaction.");
  }
  if (mode == SessionMode::kReadOnly &&
      !is_one_of<ReadCommand, ReleaseCommand, EjectCommand, CloseCommand, CancelCommand>(
          message)) {
    return HelperError(codes::kProtocolError,
                       "Only read, release, eject, close, or cancel commands are allowed "
                       "in a read-only transaction.");
  }
  if (mode == SessionMode::kRetainedAfterWriteFailure &&
      is_one_of<OpenWriteRequest, OpenFormatRequest, OpenReadRequest, VerifyCommand,
                ReadCommand, OpenBootCommand, BootReadFileCommand, BootWriteFileCommand,
                CloseBootCommand>(message)) {
    return HelperError(
        codes::kProtocolError,
        "Only recovery or release commands are allowed after an incomplete "
        "write.");
  }
  return std::nullopt;
}

Result<void> run_command_loop(CommandScope& scope, SessionMode mode,
                              ChannelReceiver<ReaderMessage>& receiver) {
  // The last answer was an error: an application that ends the session now,
  // closing its input between frames, has heard why, and is not told again.
  bool failure_answered = mode == SessionMode::kRetainedAfterWriteFailure;
  while (true) {
    std::optional<ReaderMessage> received = receiver.receive();
    if (!received) {
      return fail(codes::kProtocolError, "The control channel closed unexpectedly.");
    }
    if (auto* failure = std::get_if<ReaderFailure>(&*received)) {
      (void)scope.transaction.close();
      if (failure->input_ended && failure_answered) return {};
      RAVIK_RETURN_IF_ERROR(scope.context.write_error(
          scope.output, failure->error, failure->operation_id,
          scope.transaction.target_high_water(), /*session_retained=*/false));
      return fail(std::move(failure->error));
    }
    const ClientMessage& message = std::get<ClientMessage>(*received);
    std::optional<std::string> operation_id = operation_id_of(message);
    if (std::optional<HelperError> rejection = session_rule_rejection(mode, message)) {
      complete_reader_operation(scope.state, operation_id);
      RAVIK_RETURN_IF_ERROR(scope.context.write_error(
          scope.output, *rejection, std::move(operation_id),
          scope.transaction.target_high_water(), /*session_retained=*/true));
      failure_answered = true;
      continue;
    }
    auto handled = handle_command(scope, message);
    if (handled) {
      if (*handled == CommandOutcome::kStop) return {};
      failure_answered = false;
      continue;
    }
    failure_answered = true;
    complete_reader_operation(scope.state, operation_id);
    RAVIK_RETURN_IF_ERROR(scope.context.write_error(
        scope.output, handled.error().error, std::move(handled.error().operation_id),
        scope.transaction.target_high_water(), /*session_retained=*/true));
  }
}

}  // namespace ravik
