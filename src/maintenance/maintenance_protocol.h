// What every maintenance mode and the installer guardian share on their line
// channels: the protocol tag, compact JSON lines out, bounded lines in, the
// strict reading of each record and the rule for request IDs. Pure functions
// and single-reader line reading; see each part.
#ifndef RAVIK_MAINTENANCE_MAINTENANCE_PROTOCOL_H_
#define RAVIK_MAINTENANCE_MAINTENANCE_PROTOCOL_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <variant>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "json/strict_json.h"

namespace ravik {

// The protocol tag of the maintenance modes: part of every line they write
// and required in every request they read. Constant; thread-safe.

inline constexpr std::string_view kMaintenanceProtocolTag = "ravik-system-maintenance-v1";

// One compact JSON object per line: the output format of the maintenance
// modes. Encoding (which fails only for text that is not UTF-8) is kept apart
// from writing, because the two failures are reported differently.
// Thread-safe; concurrent writers to one descriptor would interleave lines.

// The object without spaces, its members in insertion order, or the
// encoder's error text.
std::expected<std::string, std::string> encode_compact(
    const nlohmann::ordered_json& object);

// Writes `encoded` and a line feed to `fd` in full, retrying short and
// interrupted writes. The descriptor is unbuffered, so nothing is left to
// flush. Fails with "MAINTENANCE_UNAVAILABLE", "{context}: {error}".
Result<void> write_line(int fd, std::string_view encoded, std::string_view context);

// read_release_line: the bounded line reader of every maintenance line
// channel (the hold mode's standard input, the installer's readiness pipe,
// the guardian's socket). It asks its source for one byte at a time, so on an
// unbuffered pipe or socket nothing after the line feed is consumed, and a
// hostile peer cannot make it buffer more than 16 KiB. Not thread-safe (one
// reader per source).

inline constexpr std::size_t kMaxReleaseLineBytes = 16384;

// One line without its line feed: at most 16384 bytes, no carriage return,
// not empty, ended by a line feed or by the end of the input. The bytes are
// returned raw (UTF-8 is the JSON decoder's concern). Fails with
// "MAINTENANCE_PROTOCOL" for an empty line or an input that ends first, a
// carriage return, an overlong line, or a read failure.
Result<std::string> read_release_line(ByteSource& source);

// One member of a record and the field it is read into; the field's type is
// the JSON type the member must have (integers within the field's range).
struct RecordMember {
  std::string_view key;
  std::variant<std::string*, bool*, std::uint16_t*, std::int32_t*> field;
};

// Reads a line or file that holds one JSON object whose members are exactly
// `members` (in any order in the text) and nothing after it but white space.
// Members are taken in the order given, so that the fault reported first is
// the same whichever record is read. Every field named may be written, even
// on failure.
DecodeResult<void> decode_record(std::string_view text,
                                 std::initializer_list<RecordMember> members);

inline constexpr std::size_t kMaxRequestIdBytes = 256;

// A request ID a peer chose: 1 to 256 bytes, no NUL. It is echoed back in
// the answer, so nothing longer or stranger is accepted.
bool is_valid_request_id(std::string_view request_id);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_MAINTENANCE_PROTOCOL_H_
