// The error of every maintenance step that the system refused: the lock
// directory, the lock file, the guardian's socket and files. The caller
// states the step; the OS error's name and text follow it.
#ifndef RAVIK_MAINTENANCE_MAINTENANCE_UNAVAILABLE_H_
#define RAVIK_MAINTENANCE_MAINTENANCE_UNAVAILABLE_H_

#include <string_view>

#include "error/error_code.h"
#include "error/helper_error.h"

namespace ravik {

inline HelperError maintenance_unavailable(std::string_view context, int os_error) {
  return HelperError::io(codes::kMaintenanceUnavailable, context, os_error);
}

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_MAINTENANCE_UNAVAILABLE_H_
