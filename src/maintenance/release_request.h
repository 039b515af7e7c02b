// ReleaseRequest: the one input of the maintenance hold, decoded as strictly
// as the control protocol (exactly four string members, none unknown,
// repeated or missing), and the rule for whether it releases a held lease.
// Pure functions; thread-safe.
#ifndef RAVIK_MAINTENANCE_RELEASE_REQUEST_H_
#define RAVIK_MAINTENANCE_RELEASE_REQUEST_H_

#include <cstddef>
#include <string>
#include <string_view>

#include "json/strict_json.h"

namespace ravik {

inline constexpr std::size_t kMaxRequestIdBytes = 256;

struct ReleaseRequest {
  std::string protocol;
  std::string command;
  std::string lease_id;
  std::string request_id;
};

// One JSON object with exactly the string members "protocol", "command",
// "leaseId" and "requestId", in any order, and nothing after it but white
// space.
DecodeResult<ReleaseRequest> decode_release_request(std::string_view line);

// True when the request names this protocol, the command "release", the held
// lease ID byte for byte, and a request ID of 1 to 256 bytes without NUL.
bool release_request_matches(const ReleaseRequest& request,
                             std::string_view held_lease_id);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_RELEASE_REQUEST_H_
