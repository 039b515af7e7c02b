// The installed, elevated helper.
#include "main/command_line.h"

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = "/var/lib",
      .maintenance_directory_name = "ravik",
      .treat_loop_devices_as_removable = false,
      .allow_regular_file_targets = false,
      .device_openers = {.platform = ravik::PlatformName::kLinux,
                         .policy = {.treat_loop_devices_as_removable = false},
                         .block_device = nullptr,
                         .regular_file = nullptr},
  };
  return ravik::run_helper(argc, argv, kProfile);
}
