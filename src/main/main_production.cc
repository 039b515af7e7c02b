// The installed, elevated helper. On a Mac it serves macOS targets through
// Disk Arbitration; elsewhere Linux targets through the block-device backend.
#include "main/command_line.h"
#if defined(__APPLE__)
#include "platform/macos/apple_mac_system.h"
#include "platform/macos/open_macos_disk.h"
#else
#include "platform/linux/disk_detach.h"
#include "platform/linux/open_linux_block_device.h"
#include "platform/linux/unmount_service.h"
#endif

namespace {

#if defined(__APPLE__)
constexpr ravik::PlatformName kPlatform = ravik::PlatformName::kMacos;

// The macOS whole-disk backend behind the build's device-opener seam.
ravik::Result<std::unique_ptr<ravik::HeldDeviceIo>> open_block_device(
    const ravik::SelectedDisk& target, const ravik::DeviceOpenPolicy&) {
  return ravik::macos::open(target, ravik::macos::apple_mac_system());
}
// Disk Arbitration unmounts and ejects on the helper's behalf.
constexpr std::shared_ptr<void> (*kStartUnmounter)(const ravik::DeviceOpenPolicy&) =
    nullptr;
constexpr ravik::ReleaseControls kReleaseControls = nullptr;
#else
constexpr ravik::PlatformName kPlatform = ravik::PlatformName::kLinux;
using ravik::open_block_device;
constexpr auto kStartUnmounter = ravik::start_unmount_service;
constexpr auto kReleaseControls = ravik::release_controls_of;
#endif

}  // namespace

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = "/var/lib",
      .maintenance_directory_name = "ravik",
      .device_openers = {.platform = kPlatform,
                         .policy = {.treat_loop_devices_as_removable = false},
                         .block_device = open_block_device,
                         .regular_file = nullptr},
      .start_unmounter = kStartUnmounter,
      .release_controls = kReleaseControls,
      .regular_file_target_directory = "",
      .confine_modes = true,
  };
  return ravik::run_helper(argc, argv, kProfile);
}
