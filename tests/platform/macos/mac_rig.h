// A simulated Mac with one removable whole disk and the request that selects
// it, for the macOS platform's tests.
#ifndef RAVIK_TESTS_PLATFORM_MACOS_MAC_RIG_H_
#define RAVIK_TESTS_PLATFORM_MACOS_MAC_RIG_H_

#include <memory>
#include <string>

#include "platform/selected_disk.h"
#include "support/fault_injecting_device.h"
#include "support/simulated_mac_system.h"

namespace ravik::testing {

struct MacRig {
  explicit MacRig(SimulatedDiskFacts disk = {})
      : facts(disk),
        medium(std::make_shared<FakeDisk>(disk.size, 0xEE)),
        system(std::make_shared<SimulatedMacSystem>(disk, medium)) {
    medium->logical_block_size = disk.block_size;
    medium->requires_aligned_io = true;
    target.platform = DiskPlatform::kMacos;
    target.device_id = disk.bsd_name;
    target.device_path = "/dev/r" + disk.bsd_name;
    target.size_bytes = disk.size;
    target.model = disk.model;
    target.topology_path = disk.bus_path;
  }

  SimulatedDiskFacts facts;
  std::shared_ptr<FakeDisk> medium;
  std::shared_ptr<SimulatedMacSystem> system;
  SelectedDisk target;
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_PLATFORM_MACOS_MAC_RIG_H_
