// write_event: puts one event on the output as one compact JSON line followed
// by a line feed, then flushes, so the application sees every event as it
// happens. Stateless; only the session's main thread writes events.
#ifndef RAVIK_PROTOCOL_EVENT_WRITER_H_
#define RAVIK_PROTOCOL_EVENT_WRITER_H_

#include "error/helper_error.h"
#include "protocol/buffered_output.h"
#include "protocol/server_event.h"

namespace ravik {

// Fails with PROTOCOL_ERROR "Could not encode helper event: {error}" when the
// object itself cannot be written, and with UNKNOWN "Could not write helper
// event: {error}" when the line feed or the flush fails.
Result<void> write_event(BufferedOutput& writer, const ServerEvent& event);

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_EVENT_WRITER_H_
