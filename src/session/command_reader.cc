#include "session/command_reader.h"

#include <new>
#include <system_error>
#include <thread>

#include "protocol/control_frame.h"
#include "protocol/request_validation.h"

namespace ravik {
namespace {

constexpr const char* kMismatchedCancel =
    "Cancellation did not match the active operationId.";
constexpr const char* kBusy =
    "Only a matching cancel frame is allowed while an operation is active.";

ReaderMessage failure(ErrorCode code, std::string message,
                      std::optional<std::string> operation_id) {
  return ReaderFailure{HelperError(code, std::move(message)), std::move(operation_id)};
}

// Decides what a cancel frame becomes; nothing when it is dropped.
std::optional<ReaderMessage> judge_cancel(ClientMessage message, OperationState& state,
                                          std::atomic<bool>& cancel_flag) {
  const std::optional<std::string> id =
      std::get<CancelCommand>(message.payload).operation_id;
  if (id) {
    if (auto valid = validate_operation_id(*id); !valid) {
      return ReaderFailure{std::move(valid).error(), id};
    }
  }
  switch (state.decide_cancel(id, cancel_flag)) {
    case CancelDecision::kAppliedToActive:
    case CancelDecision::kLate:
      return std::nullopt;
    case CancelDecision::kMismatch:
      return failure(codes::kProtocolError, kMismatchedCancel, id);
    case CancelDecision::kForward:
      break;
  }
  return ReaderMessage(std::move(message));
}

}  // namespace

void run_command_reader(const FrameSource& next_frame,
                        ChannelSender<ReaderMessage>& sender, OperationState& state,
                        std::atomic<bool>& cancel_flag) {
  while (true) {
    auto frame = next_frame();
    if (!frame) {
      (void)sender.send(ReaderFailure{std::move(frame).error(), std::nullopt});
      return;
    }
    if (!*frame) {
      (void)sender.send(ReaderFailure{
          .error = map_frame_io(kFrameLengthContext,
                                IoError::with_text(IoErrorKind::kUnexpectedEof, "")),
          .operation_id = std::nullopt,
          .input_ended = true});
      return;
    }
    ClientMessage message = std::move(**frame);
    std::optional<ReaderMessage> outgoing;
    if (std::holds_alternative<CancelCommand>(message.payload)) {
      outgoing = judge_cancel(std::move(message), state, cancel_flag);
    } else if (std::optional<std::string> id = operation_id_of(message)) {
      if (state.try_begin(*id)) {
        outgoing.emplace(std::move(message));
      } else {
        outgoing = failure(codes::kProtocolError, kBusy, std::move(id));
      }
    } else {
      // open_write or open_format: the main thread refuses it.
      outgoing.emplace(std::move(message));
    }
    if (outgoing && !sender.send(std::move(*outgoing))) return;
  }
}

Result<void> spawn_command_reader(BufferedInput input,
                                  ChannelSender<ReaderMessage> sender,
                                  std::shared_ptr<OperationState> state,
                                  std::shared_ptr<std::atomic<bool>> cancel_flag) {
  try {
    std::thread reader([input = std::move(input), sender = std::move(sender),
                        state = std::move(state),
                        cancel_flag = std::move(cancel_flag)]() mutable {
      // Built in advance: reporting that memory ran out must not need more.
      ReaderMessage out_of_memory = ReaderFailure{
          HelperError(codes::kUnknown, std::string(kOutOfMemoryMessage)), std::nullopt};
      try {
        const FrameSource next_frame = [&input] {
          return read_frame_unless_ended(input);
        };
        run_command_reader(next_frame, sender, *state, *cancel_flag);
      } catch (const std::bad_alloc&) {
        // The main thread ends the session with it, as with any reader failure.
        (void)sender.send(std::move(out_of_memory));
      }
    });
    reader.detach();
  } catch (const std::system_error& error) {
    return fail(HelperError::io(codes::kUnknown, "Could not start the command reader",
                                error.code().value()));
  }
  return {};
}

}  // namespace ravik
