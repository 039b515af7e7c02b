#include "session/event_context.h"

#include "protocol/event_writer.h"

namespace ravik {

EventHeader EventContext::header() const {
  return EventHeader{.protocol_version = kProtocolVersion,
                     .request_id = request_id_,
                     .session_id = session_id_,
                     .task_id = task_id_};
}

Result<void> EventContext::write(BufferedOutput& output, ServerEventBody body) const {
  return write_event(output, ServerEvent{.header = header(), .body = std::move(body)});
}

Result<void> EventContext::write_error(BufferedOutput& output, const HelperError& error,
                                       std::optional<std::string> operation_id,
                                       std::optional<std::uint64_t> bytes_written,
                                       bool session_retained) const {
  return write(output, ErrorEvent::from_error(error, std::move(operation_id),
                                              bytes_written, session_retained));
}

Result<void> EventContext::write_source_aborted(BufferedOutput& output,
                                                const HelperError& error,
                                                std::uint64_t bytes_written) const {
  return write(output, SourceAbortedEvent::from_error(error, bytes_written,
                                                      /*session_retained=*/true));
}

bool retain_after_write_error(ErrorCode code, bool source_complete) {
  if (code == codes::kCanceled || code == codes::kWriteFailed ||
      code == codes::kVerifyMismatch || code == codes::kDeviceDisconnected) {
    return true;
  }
  return code == codes::kImageMissing && !source_complete;
}

}  // namespace ravik
