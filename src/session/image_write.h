// The image write of an open_write session: the framed image is streamed to
// the transaction with one progress event per step, answered by `written`, or
// by the write-failure rules, which decide from the error, the state of the
// source stream and how far the target was written whether the session goes
// on (after resynchronising the input on the application's abort frame) or
// ends.
//
// Runs on the session's main thread, which alone reads the input meanwhile.
#ifndef RAVIK_SESSION_IMAGE_WRITE_H_
#define RAVIK_SESSION_IMAGE_WRITE_H_

#include "error/helper_error.h"
#include "protocol/buffered_input.h"
#include "protocol/buffered_output.h"
#include "session/event_context.h"
#include "session/session_clock.h"
#include "transaction/held_transaction.h"

namespace ravik {

inline constexpr std::string_view kWriteProgressMessage = "Writing the held target";
inline constexpr std::string_view kFlushProgressMessage = "Flushing the held target";

// Returns true when the image was written, false when the write failed but
// the session goes on (only recovery and release commands are served then),
// or the error that ends the session.
Result<bool> write_session_image(HeldTransaction& transaction, BufferedInput& input,
                                 BufferedOutput& output, const EventContext& context,
                                 SessionClock& clock, const WakeSource& wake_input = {});

}  // namespace ravik

#endif  // RAVIK_SESSION_IMAGE_WRITE_H_
