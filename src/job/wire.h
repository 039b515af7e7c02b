// The application's side of the device protocol on the wire: control frames
// and source frames to the helper, event lines from it. Shared by the client
// program and the end-to-end tests, which need the same bytes.
//
// Pure functions over values; thread-safe.
#ifndef RAVIK_JOB_WIRE_H_
#define RAVIK_JOB_WIRE_H_

#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace ravik::job {

// Largest payload of one data frame: 4 MiB.
inline constexpr std::size_t kMaxSourcePayload = 4 * 1024 * 1024;

enum class SourceTag : std::uint8_t { kData = 0, kEnd = 1, kAbort = 2 };

// A control frame: 4-byte big-endian length, then the compact JSON text.
std::string control_frame(const nlohmann::ordered_json& message);
// A control frame around arbitrary body bytes (for malformed-input tests).
std::string raw_control_frame(std::string_view body);

// The 5-byte head of a data frame carrying `payload_size` bytes (1 to 4 MiB);
// the payload follows it on the wire.
std::string data_frame_head(std::size_t payload_size);
// A whole data frame.
std::string data_frame(std::span<const std::uint8_t> payload);
std::string data_frame(std::string_view payload);
std::string end_frame();
std::string abort_frame();

// One event line from the helper, decoded. `line` keeps the exact text (no
// line feed) so that callers can compare it byte for byte.
struct HelperEvent {
  std::string line;
  nlohmann::ordered_json json;

  std::string kind() const;  // the "event" member, empty when missing
  std::optional<std::string> text(std::string_view key) const;
  std::optional<std::uint64_t> number(std::string_view key) const;
  std::optional<bool> flag(std::string_view key) const;
};

// Decodes one line; nothing when it is not a JSON object.
std::optional<HelperEvent> parse_event_line(std::string_view line);

}  // namespace ravik::job

#endif  // RAVIK_JOB_WIRE_H_
