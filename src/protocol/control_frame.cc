#include "protocol/control_frame.h"

#include <array>
#include <memory>
#include <string>

#include "protocol/client_message_decode.h"

namespace ravik {

HelperError map_frame_io(std::string_view context, const IoError& error) {
  if (error.kind == IoErrorKind::kUnexpectedEof) {
    return HelperError::io_text(codes::kProtocolError, context, kInputEndedEarly);
  }
  return HelperError::io_text(codes::kProtocolError, context, error.describe());
}

namespace {

// The rest of a frame whose 4 length bytes are `prefix`.
Result<ClientMessage> read_frame_body(BufferedInput& input,
                                      const std::array<std::uint8_t, 4>& prefix) {
  const std::uint32_t length = (std::uint32_t{prefix[0]} << 24) |
                               (std::uint32_t{prefix[1]} << 16) |
                               (std::uint32_t{prefix[2]} << 8) | std::uint32_t{prefix[3]};
  if (length == 0) return fail(codes::kProtocolError, "Control frames cannot be empty.");
  if (length > kMaxControlFrameBytes) {
    return fail(codes::kProtocolError,
                "Control frame length " + std::to_string(length) + " exceeds the " +
                    std::to_string(kMaxControlFrameBytes) + " byte limit.");
  }
  const auto body = std::make_unique_for_overwrite<std::uint8_t[]>(length);
  if (auto read = input.read_exact(std::span(body.get(), length)); !read) {
    return fail(map_frame_io("Could not read complete control frame", read.error()));
  }
  auto message = decode_client_message(
      std::string_view(reinterpret_cast<const char*>(body.get()), length));
  if (!message) {
    return fail(codes::kProtocolError,
                "Invalid control-frame JSON: " + message.error().description);
  }
  if (const auto version = message->protocol_version(); version != kProtocolVersion) {
    return fail(codes::kProtocolError, "Unsupported protocol version " +
                                           std::to_string(version) + "; expected " +
                                           std::to_string(kProtocolVersion) + ".");
  }
  return std::move(*message);
}

}  // namespace

Result<ClientMessage> read_frame(BufferedInput& input) {
  std::array<std::uint8_t, 4> prefix;
  if (auto read = input.read_exact(prefix); !read) {
    return fail(map_frame_io(kFrameLengthContext, read.error()));
  }
  return read_frame_body(input, prefix);
}

Result<std::optional<ClientMessage>> read_frame_unless_ended(BufferedInput& input) {
  std::array<std::uint8_t, 4> prefix;
  for (;;) {
    auto first = input.read_some(std::span(prefix).first(1));
    if (first) break;
    if (first.error().kind == IoErrorKind::kInterrupted) continue;
    if (first.error().kind == IoErrorKind::kUnexpectedEof) return std::nullopt;
    return fail(map_frame_io(kFrameLengthContext, first.error()));
  }
  if (auto read = input.read_exact(std::span(prefix).subspan(1)); !read) {
    return fail(map_frame_io(kFrameLengthContext, read.error()));
  }
  RAVIK_ASSIGN_OR_RETURN(ClientMessage message, read_frame_body(input, prefix));
  return message;
}

}  // namespace ravik
