// The installed, elevated helper.
#include "main/command_line.h"
#include "platform/linux/open_linux_block_device.h"

namespace {

// The Linux whole-disk backend behind the build's device-opener seam.
ravik::Result<std::unique_ptr<ravik::HeldDeviceIo>> open_block_device(
    const ravik::TargetExpectation& target, const ravik::DeviceOpenPolicy& policy) {
  ravik::LinuxOpenOptions options;
  options.policy.treat_loop_devices_as_removable = policy.treat_loop_devices_as_removable;
  return ravik::open_linux_block_device(target, options);
}

}  // namespace

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = "/var/lib",
      .maintenance_directory_name = "ravik",
      .treat_loop_devices_as_removable = false,
      .allow_regular_file_targets = false,
      .device_openers = {.platform = ravik::PlatformName::kLinux,
                         .policy = {.treat_loop_devices_as_removable = false},
                         .block_device = open_block_device,
                         .regular_file = nullptr},
  };
  return ravik::run_helper(argc, argv, kProfile);
}
