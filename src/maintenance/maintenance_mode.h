// MaintenanceMode: how the system maintenance lock is held. Device sessions
// hold it shared, so any number run side by side; a maintenance holder takes
// it exclusive and thereby keeps every session out. Plain values; thread-safe.
#ifndef RAVIK_MAINTENANCE_MAINTENANCE_MODE_H_
#define RAVIK_MAINTENANCE_MAINTENANCE_MODE_H_

#include <optional>
#include <string_view>

namespace ravik {

enum class MaintenanceMode { kShared, kExclusive };

// "shared" or "exclusive", as every JSON line writes the mode.
std::string_view maintenance_mode_name(MaintenanceMode mode);

// The mode named exactly "shared" or "exclusive"; nothing for any other text
// (letter case matters).
std::optional<MaintenanceMode> parse_maintenance_mode(std::string_view text);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_MAINTENANCE_MODE_H_
