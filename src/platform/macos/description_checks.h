// The checks that tie a Disk Arbitration disk to the disk the user selected:
// the form of the request's names, the description before and during the
// hold, and the geometry the kernel reports on the held descriptor. The
// comparisons are pure functions; disk_geometry asks the descriptor.
#ifndef RAVIK_PLATFORM_MACOS_DESCRIPTION_CHECKS_H_
#define RAVIK_PLATFORM_MACOS_DESCRIPTION_CHECKS_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "platform/macos/description.h"
#include "platform/macos/mac_system.h"
#include "platform/selected_disk.h"

namespace ravik::macos {

// What the hold confirmed at open: the values every later description must
// still show.
struct HeldDiskFacts {
  std::string bsd_name;
  std::uint64_t capacity = 0;
  std::uint64_t block_size = 0;
  std::uint32_t device_number = 0;
  std::optional<std::string> bus_path;
  std::optional<std::string> model;
  DiskSnapshot snapshot;
};

inline constexpr std::string_view kTargetFormMessage =
    "macOS targets must be a whole /dev/rdiskN device matching deviceId diskN.";

// `device_id` is "disk" and one or more ASCII digits; `device_path` is
// exactly "/dev/r" followed by it.
Result<void> check_target_form(std::string_view device_id, std::string_view device_path);

// DEVICE_NOT_REMOVABLE, first failure wins: not a writable removable (or
// ejectable) whole disk; BSD name or size differ; bus path given and
// different or absent; model given and different after white-space
// normalisation, or absent.
Result<void> validate_description(const DiskSelection& selection,
                                  const Description& description);

// DEVICE_DISCONNECTED "Disk Arbitration identity changed while the target was
// held." when anything confirmed at open differs from `description`.
Result<void> validate_fresh_description(const HeldDiskFacts& held,
                                        const Description& description);

struct KernelGeometry {
  std::uint32_t block_size = 0;
  std::uint64_t block_count = 0;
};

// The block size and then the block count of the held descriptor;
// DEVICE_NOT_REMOVABLE "Could not read raw target geometry from the held
// descriptor" with the system error when a request fails or reports 0.
Result<KernelGeometry> disk_geometry(RawDescriptor& descriptor);

// DEVICE_NOT_REMOVABLE "Raw target capacity overflow." or "The held raw target
// geometry does not match the confirmed device." unless the kernel's block
// size is a power of two from 512 to 1,048,576 equal to Disk Arbitration's
// and the capacity (block size times count, not 0) equals both
// `target_size_bytes` and the media size. Returns the capacity.
Result<std::uint64_t> validate_held_geometry(std::uint64_t target_size_bytes,
                                             std::uint64_t media_size,
                                             std::uint64_t arbitration_block_size,
                                             KernelGeometry geometry);

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_DESCRIPTION_CHECKS_H_
