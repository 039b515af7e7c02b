#include "maintenance/json_line.h"

#include "io/write_all.h"

namespace ravik {

std::expected<std::string, std::string> encode_compact(
    const nlohmann::ordered_json& object) {
  try {
    return object.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::strict);
  } catch (const nlohmann::ordered_json::exception& error) {
    return std::unexpected(std::string(error.what()));
  }
}

Result<void> write_line(int fd, std::string_view encoded, std::string_view context) {
  std::string line;
  line.reserve(encoded.size() + 1);
  line.append(encoded);
  line.push_back('\n');
  if (auto written = write_all(fd, line); !written) {
    return fail(written.error().to_helper_error(codes::kMaintenanceUnavailable, context));
  }
  return {};
}

}  // namespace ravik
