#include "maintenance/hold_mode.h"

#include "error/decimal.h"
#include "error/safe_message.h"
#include "maintenance/maintenance_protocol.h"

namespace ravik {

DecodeResult<ReleaseRequest> decode_release_request(std::string_view line) {
  ReleaseRequest request;
  auto decoded = decode_record(line, {{"protocol", &request.protocol},
                                      {"command", &request.command},
                                      {"leaseId", &request.lease_id},
                                      {"requestId", &request.request_id}});
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return request;
}

bool release_request_matches(const ReleaseRequest& request,
                             std::string_view held_lease_id) {
  return request.protocol == kMaintenanceProtocolTag && request.command == "release" &&
         request.lease_id == held_lease_id && is_valid_request_id(request.request_id);
}

namespace {

nlohmann::ordered_json error_object(std::string_view code, std::string_view message) {
  nlohmann::ordered_json object;
  object["protocol"] = kMaintenanceProtocolTag;
  object["status"] = "error";
  object["code"] = code;
  object["message"] = message;
  return object;
}

}  // namespace

Result<void> write_status(int output_fd, std::string_view status,
                          const MaintenanceLock& lock,
                          std::optional<std::string_view> request_id) {
  nlohmann::ordered_json object;
  object["protocol"] = kMaintenanceProtocolTag;
  object["status"] = status;
  object["mode"] = maintenance_mode_name(lock.mode());
  object["leaseId"] = lock.lease_id();
  if (request_id) object["requestId"] = *request_id;
  auto encoded = encode_compact(object);
  if (!encoded) {
    return fail(codes::kMaintenanceProtocol,
                "Could not encode status: " + encoded.error());
  }
  return write_line(output_fd, *encoded, "Could not write maintenance status");
}

Result<void> write_protocol_error(int output_fd, std::string_view message) {
  auto encoded =
      encode_compact(error_object(codes::kMaintenanceProtocol.text(), message));
  if (!encoded) {
    return fail(codes::kMaintenanceProtocol,
                "Could not encode maintenance protocol error: " + encoded.error());
  }
  return write_line(output_fd, *encoded, "Could not write maintenance protocol error");
}

Result<void> write_maintenance_error(int output_fd, const HelperError& error) {
  auto encoded =
      encode_compact(error_object(error.code().text(), safe_message(error.message())));
  if (!encoded) return fail(codes::kMaintenanceProtocol, std::move(encoded).error());
  return write_line(output_fd, *encoded, "Could not write maintenance error");
}

namespace {

constexpr std::string_view kInvalidRequest = "Invalid maintenance release request.";
constexpr std::string_view kNonMatchingRequest =
    "Maintenance release request did not match the held lease.";

// Reports `error` as the final line, then hands it on for the standard-error
// line; the final line is best effort, since the output may be what failed.
std::unexpected<HelperError> end_hold(int output_fd, HelperError error) {
  (void)write_maintenance_error(output_fd, error);
  return fail(std::move(error));
}

}  // namespace

Result<void> serve_stdio_hold(MaintenanceLock lock, ByteSource& input, int output_fd) {
  RAVIK_RETURN_IF_ERROR(write_status(output_fd, "acquired", lock));
  while (true) {
    RAVIK_ASSIGN_OR_RETURN(const std::string line, read_release_line(input));
    const auto request = decode_release_request(line);
    if (!request) {
      RAVIK_RETURN_IF_ERROR(write_protocol_error(output_fd, kInvalidRequest));
      continue;
    }
    if (!release_request_matches(*request, lock.lease_id())) {
      RAVIK_RETURN_IF_ERROR(write_protocol_error(output_fd, kNonMatchingRequest));
      continue;
    }
    RAVIK_RETURN_IF_ERROR(write_status(output_fd, "released", lock, request->request_id));
    return std::move(lock).unlock();
  }
}

Result<void> run_maintenance_hold(const MaintenanceLocation& location,
                                  std::string_view mode_text,
                                  std::string_view timeout_text, ByteSource& input,
                                  int output_fd) {
  const std::optional<MaintenanceMode> mode = parse_maintenance_mode(mode_text);
  if (!mode) {
    return fail(codes::kMaintenanceProtocol,
                "Maintenance mode must be shared or exclusive.");
  }
  const std::optional<std::uint64_t> timeout_ms = parse_unsigned_decimal(timeout_text);
  if (!timeout_ms) {
    return fail(codes::kMaintenanceProtocol,
                "Maintenance timeout must be an unsigned integer.");
  }
  auto lock = acquire_process_lock(location, *mode, MaintenanceTimeout(*timeout_ms),
                                   /*provisioning_permitted=*/false);
  if (!lock) return end_hold(output_fd, std::move(lock).error());
  if (auto served = serve_stdio_hold(std::move(lock).value(), input, output_fd);
      !served) {
    return end_hold(output_fd, std::move(served).error());
  }
  return {};
}

}  // namespace ravik
