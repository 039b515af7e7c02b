// EventContext: the requestId, sessionId and taskId of the open request,
// stamped on every event of the session, and the two writers with which the
// session reports failures as events.
//
// Immutable after construction; the writers are called by the session's main
// thread only (the one writer of events).
#ifndef RAVIK_SESSION_EVENT_CONTEXT_H_
#define RAVIK_SESSION_EVENT_CONTEXT_H_

#include <cstdint>
#include <optional>
#include <string>

#include "error/helper_error.h"
#include "protocol/buffered_output.h"
#include "protocol/server_event.h"

namespace ravik {

class EventContext {
 public:
  EventContext(std::string request_id, std::string session_id, std::string task_id)
      : request_id_(std::move(request_id)),
        session_id_(std::move(session_id)),
        task_id_(std::move(task_id)) {}

  EventHeader header() const;

  // Writes one event of `body` with this session's header; returns the
  // write failure.
  Result<void> write(BufferedOutput& output, ServerEventBody body) const;

  // An `error` event: code through raw_error_code, message through
  // safe_message, `operationId` and `bytesWritten` only when given.
  Result<void> write_error(BufferedOutput& output, const HelperError& error,
                           std::optional<std::string> operation_id,
                           std::optional<std::uint64_t> bytes_written,
                           bool session_retained) const;

  // A `sourceAborted` event; the session always goes on after one.
  Result<void> write_source_aborted(BufferedOutput& output, const HelperError& error,
                                    std::uint64_t bytes_written) const;

 private:
  std::string request_id_;
  std::string session_id_;
  std::string task_id_;
};

// Whether a failed image write leaves the session open for recovery and
// release commands once the source stream is resynchronised: for CANCELED,
// WRITE_FAILED, VERIFY_MISMATCH and DEVICE_DISCONNECTED always, for
// IMAGE_MISSING only while the stream was not complete.
bool retain_after_write_error(ErrorCode code, bool source_complete);

}  // namespace ravik

#endif  // RAVIK_SESSION_EVENT_CONTEXT_H_
