// The lines exchanged with an installer guardian: its readiness record (on
// the pipe to the begin process) and the request and response of its socket.
// Each is one compact JSON object with its keys in a fixed order; each is
// read strictly (every key required, no other key). Pure functions;
// thread-safe.
#ifndef RAVIK_MAINTENANCE_GUARDIAN_RECORDS_H_
#define RAVIK_MAINTENANCE_GUARDIAN_RECORDS_H_

#include <cstddef>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

#include "json/strict_json.h"

namespace ravik {

inline constexpr std::size_t kMaxReadinessMessageBytes = 4096;

// Written once by the guardian: success ("ok" true, empty code and message,
// the lease ID) or the error that stopped it (empty lease ID).
struct GuardianReady {
  bool ok = false;
  std::string code;
  std::string message;
  std::string lease_id;
  std::int32_t owner_pid = 0;
  std::int32_t guardian_pid = 0;
};

struct GuardianRequest {
  std::string protocol;
  std::string command;  // "status" or "end"
  std::string token;
  std::string lease_id;
  std::string request_id;
};

struct GuardianResponse {
  std::string protocol;
  std::string status;  // "held" or "released"
  std::string request_id;
  std::string lease_id;
  std::int32_t owner_pid = 0;
  std::int32_t guardian_pid = 0;
};

// Each encoder gives the object without the line feed, or the encoder's
// error text.
std::expected<std::string, std::string> encode_guardian_ready(const GuardianReady& ready);
std::expected<std::string, std::string> encode_guardian_request(
    const GuardianRequest& request);
std::expected<std::string, std::string> encode_guardian_response(
    const GuardianResponse& response);

DecodeResult<GuardianReady> decode_guardian_ready(std::string_view line);
DecodeResult<GuardianRequest> decode_guardian_request(std::string_view line);
DecodeResult<GuardianResponse> decode_guardian_response(std::string_view line);

// A failure message as the readiness record carries it: NUL, line feed and
// carriage return become spaces, and whole characters are kept while the
// result stays within 4096 bytes.
std::string readiness_message(std::string_view message);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_GUARDIAN_RECORDS_H_
