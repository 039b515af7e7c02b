#include <string>

#include "main/modes.h"

namespace ravik {

HelperError mode_not_available(std::string_view mode) {
  return HelperError(codes::kUnknown, "The " + std::string(mode) +
                                          " mode is not available in this build.");
}

}  // namespace ravik
