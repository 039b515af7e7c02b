#include "maintenance/maintenance_location.h"

namespace ravik {

std::string MaintenanceLocation::lock_path() const {
  std::string path = base_directory;
  if (path.empty() || path.back() != '/') path += '/';
  path += directory_name;
  path += '/';
  path += lock_file_name;
  return path;
}

}  // namespace ravik
