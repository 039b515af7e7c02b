#include "maintenance/maintenance_mode.h"

namespace ravik {

std::string_view maintenance_mode_name(MaintenanceMode mode) {
  return mode == MaintenanceMode::kShared ? "shared" : "exclusive";
}

std::optional<MaintenanceMode> parse_maintenance_mode(std::string_view text) {
  if (text == "shared") return MaintenanceMode::kShared;
  if (text == "exclusive") return MaintenanceMode::kExclusive;
  return std::nullopt;
}

}  // namespace ravik
