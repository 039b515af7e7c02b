#include "main/modes.h"

namespace ravik {

Result<void> run_sudo_launcher_mode(std::span<const std::string_view>) {
  return fail(mode_not_available("sudo launcher"));
}

}  // namespace ravik
