// The boundary between the wire records and the platform layer: the disk a
// request names becomes the platform's SelectedDisk, and the identity a
// backend proved becomes the ready event's record. Pure functions.
#ifndef RAVIK_TRANSACTION_DISK_CONVERSION_H_
#define RAVIK_TRANSACTION_DISK_CONVERSION_H_

#include "platform/selected_disk.h"
#include "protocol/client_message.h"
#include "protocol/server_event.h"

namespace ravik {

DiskPlatform disk_platform_of(PlatformName platform);
PlatformName platform_name_of(DiskPlatform platform);

SelectedDisk selected_disk_of(const TargetExpectation& target);
HeldTargetIdentity wire_identity_of(const DiskIdentity& identity);

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_DISK_CONVERSION_H_
