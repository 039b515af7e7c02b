// The protocol tag of the maintenance modes: part of every line they write
// and required in every request they read. Constant; thread-safe.
#ifndef RAVIK_MAINTENANCE_PROTOCOL_TAG_H_
#define RAVIK_MAINTENANCE_PROTOCOL_TAG_H_

#include <string_view>

namespace ravik {

inline constexpr std::string_view kMaintenanceProtocolTag = "ravik-system-maintenance-v1";

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_PROTOCOL_TAG_H_
