#include "main/modes.h"

namespace ravik {

Result<void> run_device_session_mode(const BuildProfile&) {
  return fail(mode_not_available("device session"));
}

}  // namespace ravik
