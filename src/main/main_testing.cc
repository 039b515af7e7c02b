// The testing helper: the production code paths plus the test-only powers
// (regular-file targets, loop devices as removable disks) and a maintenance
// directory inside the build tree. Never installed.
#include "main/command_line.h"
#include "platform/file/regular_file_device.h"
#include "platform/linux/open_linux_block_device.h"

namespace {

// The Linux whole-disk backend behind the build's device-opener seam.
ravik::Result<std::unique_ptr<ravik::HeldDeviceIo>> open_block_device(
    const ravik::TargetExpectation& target, const ravik::DeviceOpenPolicy& policy) {
  ravik::LinuxOpenOptions options;
  options.policy.treat_loop_devices_as_removable = policy.treat_loop_devices_as_removable;
  return ravik::open_linux_block_device(target, options);
}

ravik::Result<std::unique_ptr<ravik::HeldDeviceIo>> open_regular_file(
    const ravik::TargetExpectation& target, const ravik::DeviceOpenPolicy&) {
  return ravik::open_regular_file_target(target);
}

}  // namespace

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = RAVIK_TESTING_ROOT,
      .maintenance_directory_name = "ravik",
      .treat_loop_devices_as_removable = true,
      .allow_regular_file_targets = true,
      .device_openers = {.platform = ravik::PlatformName::kLinux,
                         .policy = {.treat_loop_devices_as_removable = true},
                         .block_device = open_block_device,
                         .regular_file = open_regular_file},
  };
  return ravik::run_helper(argc, argv, kProfile);
}
