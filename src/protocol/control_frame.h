// read_frame: takes exactly one control frame (a 4-byte big-endian length and
// that many bytes of JSON) off the shared input and returns the decoded,
// version-checked command. Semantic checks (validators) are left to the code
// that acts on the command. Stateless; called by one thread at a time.
//
// Where each outcome leaves the input:
//   success, JSON error, version error: just after the frame (aligned);
//   empty frame: just after the 4 length bytes (aligned);
//   length over the limit: just after the 4 length bytes, body unread
//     (no longer aligned);
//   I/O failure or early end: unknown.
#ifndef RAVIK_PROTOCOL_CONTROL_FRAME_H_
#define RAVIK_PROTOCOL_CONTROL_FRAME_H_

#include <cstdint>
#include <optional>
#include <string_view>

#include "error/helper_error.h"
#include "io/io_error.h"
#include "protocol/buffered_input.h"
#include "protocol/client_message.h"

namespace ravik {

inline constexpr std::uint32_t kMaxControlFrameBytes = 2'097'152;
// The context of a failure to read a frame's length, an early end included.
inline constexpr std::string_view kFrameLengthContext =
    "Could not read control-frame length";

// PROTOCOL_ERROR "{context}: {detail}", the detail being "input ended early"
// for an early end and the I/O error's own text otherwise.
HelperError map_frame_io(std::string_view context, const IoError& error);

Result<ClientMessage> read_frame(BufferedInput& input);

// Like read_frame, but nothing when the input ends cleanly before the first
// byte of a frame: the application closed its end between two frames.
Result<std::optional<ClientMessage>> read_frame_unless_ended(BufferedInput& input);

}  // namespace ravik

#endif  // RAVIK_PROTOCOL_CONTROL_FRAME_H_
