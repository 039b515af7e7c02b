#include "main/modes.h"

namespace ravik {

Result<void> run_cross_process_lock_hold_mode(std::string_view) {
  return fail(mode_not_available("cross-process lock hold"));
}

}  // namespace ravik
