// MacHeldDevice: the HeldDeviceIo of a whole macOS disk, held under an
// exclusive Disk Arbitration claim through its raw node opened exclusively.
// Its identity is re-proved from independent sources on every check: the
// claim, the node at the selected path and the open descriptor (device
// numbers), and a fresh Disk Arbitration description. Created by
// macos::open; used by one thread at a time, while the claim's session
// answers Disk Arbitration on its own queue.
#ifndef RAVIK_PLATFORM_MACOS_MAC_HELD_DEVICE_H_
#define RAVIK_PLATFORM_MACOS_MAC_HELD_DEVICE_H_

#include <cstdint>
#include <memory>
#include <string>

#include "platform/held_device_io.h"
#include "platform/macos/description_checks.h"
#include "platform/macos/disk_claim.h"
#include "platform/macos/mac_system.h"
#include "platform/selected_disk.h"

namespace ravik::macos {

struct MacHeldDeviceState {
  DiskIdentity identity;
  HeldDiskFacts facts;
  std::unique_ptr<DiskClaim> claim;  // claimed
  std::unique_ptr<RawDescriptor> descriptor;
};

class MacHeldDevice final : public HeldDeviceIo {
 public:
  MacHeldDevice(std::shared_ptr<MacSystem> system, MacHeldDeviceState state);
  // Closes the descriptor if still open, then ends the claim.
  ~MacHeldDevice() override;

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  IoResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  IoResult<void> flush() override;
  IoResult<std::uint64_t> seek(SeekFrom from) override;

  Result<void> sync_all() override;
  std::uint64_t capacity() const override { return state_.facts.capacity; }
  std::uint64_t logical_block_size() const override { return state_.facts.block_size; }
  bool requires_aligned_io() const override { return true; }
  const DiskIdentity& identity() const override { return state_.identity; }
  Result<void> verify_current_identity() override;
  Result<void> eject() override;
  Result<bool> exact_detach_confirmed() override { return detach_confirmed_; }

 private:
  std::shared_ptr<MacSystem> system_;
  MacHeldDeviceState state_;
  bool detach_confirmed_ = false;
};

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_MAC_HELD_DEVICE_H_
