// The MacSystem of the running Mac: Disk Arbitration, Core Foundation and the
// raw node's POSIX calls, with no logic of their own. Built on Apple platforms
// only; elsewhere the declaration exists for nobody to call.
#ifndef RAVIK_PLATFORM_MACOS_APPLE_MAC_SYSTEM_H_
#define RAVIK_PLATFORM_MACOS_APPLE_MAC_SYSTEM_H_

#include <memory>

#include "platform/macos/mac_system.h"

namespace ravik::macos {

std::shared_ptr<MacSystem> apple_mac_system();

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_APPLE_MAC_SYSTEM_H_
