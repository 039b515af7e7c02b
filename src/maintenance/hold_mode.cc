#include "maintenance/hold_mode.h"

#include "error/decimal.h"
#include "maintenance/hold_lines.h"
#include "maintenance/release_line.h"
#include "maintenance/release_request.h"

namespace ravik {
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
