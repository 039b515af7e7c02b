#include "main/cross_process_lock_hold.h"
#include "main/modes.h"

namespace ravik {

Result<void> run_cross_process_lock_hold_mode(std::string_view path) {
  return run_cross_process_lock_hold(path);
}

}  // namespace ravik
