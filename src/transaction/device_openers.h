// DeviceOpeners: the seam through which an executable tells the transaction
// which device backends it may use. Each executable builds one constant value
// (in its BuildProfile): the production helper names only the block-device
// backend; the testing helper adds the regular-file backend, which is linked
// into it and nowhere else. Plain constant data; thread-safe to share.
#ifndef RAVIK_TRANSACTION_DEVICE_OPENERS_H_
#define RAVIK_TRANSACTION_DEVICE_OPENERS_H_

#include <memory>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "protocol/client_message.h"

namespace ravik {

struct DeviceOpeners {
  // The platform this build serves; requests prepared for another are refused.
  PlatformName platform = PlatformName::kLinux;
  DeviceOpenPolicy policy;
  // Opens removable whole disks. Null while this build has no such backend:
  // every request that needs it is then refused.
  DeviceOpener block_device = nullptr;
  // Opens regular files for requests that set testOnlyAllowRegularFile. Null
  // in the production helper, which therefore refuses such requests.
  DeviceOpener regular_file = nullptr;
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_DEVICE_OPENERS_H_
