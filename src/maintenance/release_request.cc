#include "maintenance/release_request.h"

#include "json/json_object_reader.h"
#include "maintenance/protocol_tag.h"

namespace ravik {

DecodeResult<ReleaseRequest> decode_release_request(std::string_view line) {
  auto value = parse_strict_json(line);
  if (!value) return std::unexpected(std::move(value).error());
  auto reader = JsonObjectReader::open(*value, "");
  if (!reader) return std::unexpected(std::move(reader).error());
  ReleaseRequest request;
  for (auto [key, field] :
       {std::pair{"protocol", &request.protocol}, std::pair{"command", &request.command},
        std::pair{"leaseId", &request.lease_id},
        std::pair{"requestId", &request.request_id}}) {
    auto text = reader->required_string(key);
    if (!text) return std::unexpected(std::move(text).error());
    *field = std::move(text).value();
  }
  if (auto finished = reader->finish(); !finished) {
    return std::unexpected(std::move(finished).error());
  }
  return request;
}

bool release_request_matches(const ReleaseRequest& request,
                             std::string_view held_lease_id) {
  return request.protocol == kMaintenanceProtocolTag && request.command == "release" &&
         request.lease_id == held_lease_id && !request.request_id.empty() &&
         request.request_id.size() <= kMaxRequestIdBytes &&
         request.request_id.find('\0') == std::string::npos;
}

}  // namespace ravik
