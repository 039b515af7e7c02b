// LinuxHeldDevice: the HeldDeviceIo of a whole Linux block device, held
// through an exclusive (O_EXCL) descriptor opened for direct I/O. Its
// identity is re-proved from independent sources on every check: the open
// descriptor (device number, disk sequence), the device node at the selected
// path, the kernel's exclusive claim, the mount table and a fresh sysfs
// description. Created by open_linux_block_device; used by one thread.
#ifndef RAVIK_PLATFORM_LINUX_LINUX_HELD_DEVICE_H_
#define RAVIK_PLATFORM_LINUX_LINUX_HELD_DEVICE_H_

#include <cstdint>
#include <string>

#include "io/unique_fd.h"
#include "platform/aligned_buffer.h"
#include "platform/held_device_io.h"
#include "platform/linux/block_device_description.h"
#include "platform/linux/disk_detach.h"
#include "platform/linux/system_paths.h"
#include "platform/linux/target_checks.h"

namespace ravik {

// Unaligned memory is copied through a bounce buffer of at most this size, so
// one call may transfer less than asked (the callers loop).
inline constexpr std::size_t kBounceBufferBytes = 4 * 1024 * 1024;

struct LinuxHeldDeviceState {
  UniqueFd fd;  // exclusive, O_DIRECT
  std::string device_path;
  DiskIdentity identity;
  HeldDiskFacts facts;
  BlockTransport transport = BlockTransport::kOther;
  std::string parent_device_name;
  RemovabilityPolicy policy;
  LinuxSystemPaths paths;
};

class LinuxHeldDevice final : public HeldDeviceIo {
 public:
  explicit LinuxHeldDevice(LinuxHeldDeviceState state);
  ~LinuxHeldDevice() override = default;

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  IoResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  IoResult<void> flush() override;
  IoResult<std::uint64_t> seek(SeekFrom from) override;

  Result<void> sync_all() override;
  std::uint64_t capacity() const override { return state_.facts.selection.size_bytes; }
  std::uint64_t logical_block_size() const override {
    return state_.facts.logical_block_size;
  }
  bool requires_aligned_io() const override { return true; }
  const DiskIdentity& identity() const override { return state_.identity; }
  Result<void> verify_current_identity() override;
  Result<void> eject() override;
  Result<bool> exact_detach_confirmed() override { return detach_confirmed_; }
  HeldDeviceFiles files_opened_while_held() const override;

 private:
  // Whether `data` of `length` bytes goes through the bounce buffer: memory
  // not aligned to the block size with an aligned length. A misaligned length
  // goes to the kernel unchanged and fails there.
  bool needs_bounce(const void* data, std::size_t length) const;
  std::span<std::uint8_t> bounce_buffer(std::size_t length);
  // The transport's detach request on the still open, verified descriptor.
  Result<void> request_detach(int fd);
  // Removal through sysfs where the transport needs it, then the wait until
  // exactly the held disk has gone.
  Result<void> detach_after_close(const DepartingDisk& departing);

  LinuxHeldDeviceState state_;
  AlignedBuffer bounce_;
  bool detach_confirmed_ = false;
};

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_LINUX_HELD_DEVICE_H_
