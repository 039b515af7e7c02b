// The testing helper: the production code paths plus the test-only powers
// (regular-file targets, loop devices as removable disks) and a maintenance
// directory inside the build tree. Never installed.
#include "main/command_line.h"
#include "platform/file/regular_file_device.h"
#include "platform/linux/open_linux_block_device.h"

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = RAVIK_TESTING_ROOT,
      .maintenance_directory_name = "ravik",
      .device_openers = {.platform = ravik::PlatformName::kLinux,
                         .policy = {.treat_loop_devices_as_removable = true},
                         .block_device = ravik::open_block_device,
                         .regular_file = ravik::open_regular_file_target},
  };
  return ravik::run_helper(argc, argv, kProfile);
}
