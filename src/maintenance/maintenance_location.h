// MaintenanceLocation: where the system maintenance lock lives. Each build
// fixes it at compile time (the production helper under "/var/lib", the
// testing helper inside its build tree); tests pass temporary directories.
// Plain value; thread-compatible.
#ifndef RAVIK_MAINTENANCE_MAINTENANCE_LOCATION_H_
#define RAVIK_MAINTENANCE_MAINTENANCE_LOCATION_H_

#include <string>
#include <string_view>

namespace ravik {

inline constexpr std::string_view kMaintenanceLockFileName = "maintenance-v1.lock";

struct MaintenanceLocation {
  // Must already exist, root-owned and 0755; never created.
  std::string base_directory;
  // The protected directory, a child of the base directory.
  std::string directory_name;
  // A child of the protected directory.
  std::string lock_file_name = std::string(kMaintenanceLockFileName);

  // The three parts joined with "/", for reporting only: the lock is always
  // reached through directory descriptors, never through this path.
  std::string lock_path() const;
};

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_MAINTENANCE_LOCATION_H_
