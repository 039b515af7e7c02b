#include "main/modes.h"
#include "sudo_launcher/sudo_launcher.h"

namespace ravik {

Result<void> run_sudo_launcher_mode(std::span<const std::string_view> sudo_args) {
  return sudo_launcher::launch(sudo_args);
}

}  // namespace ravik
