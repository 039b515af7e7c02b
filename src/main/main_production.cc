// The installed, elevated helper.
#include "main/command_line.h"
#include "platform/linux/open_linux_block_device.h"

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = "/var/lib",
      .maintenance_directory_name = "ravik",
      .device_openers = {.platform = ravik::PlatformName::kLinux,
                         .policy = {.treat_loop_devices_as_removable = false},
                         .block_device = ravik::open_block_device,
                         .regular_file = nullptr},
  };
  return ravik::run_helper(argc, argv, kProfile);
}
