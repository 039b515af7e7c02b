#include "maintenance/json_line.h"

#include <unistd.h>

#include <cerrno>

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
  std::string_view rest = line;
  while (!rest.empty()) {
    const ssize_t written = ::write(fd, rest.data(), rest.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return fail(HelperError::io(codes::kMaintenanceUnavailable, context, errno));
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  return {};
}

}  // namespace ravik
