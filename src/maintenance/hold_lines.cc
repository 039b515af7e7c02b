#include "maintenance/hold_lines.h"

#include "error/safe_message.h"
#include "maintenance/json_line.h"
#include "maintenance/protocol_tag.h"

namespace ravik {
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

}  // namespace ravik
