// RegularFileDevice: a HeldDeviceIo over a regular file, so that the whole
// device protocol can run in tests without a disk. Linked only into the
// testing executable and the tests; the production executable cannot reach it.
//
// The file is opened without following a final symbolic link and locked with
// an exclusive advisory lock, so two sessions never write the same file.
// It reports a 512-byte logical block and no alignment requirement, unless a
// test asks for emulated raw mode, in which every read and write whose
// position or length is not a multiple of the chosen block size fails with
// EINVAL, as a raw disk node does. Not thread-safe (one session thread).
#ifndef RAVIK_PLATFORM_FILE_REGULAR_FILE_DEVICE_H_
#define RAVIK_PLATFORM_FILE_REGULAR_FILE_DEVICE_H_

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <string>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "platform/held_device_io.h"

namespace ravik {

struct RegularFileGeometry {
  std::uint64_t logical_block_size = 512;
  // When true, misaligned positions and lengths fail with EINVAL.
  bool emulate_raw_alignment = false;
  // Opened for reading only, for a hold that only reads.
  bool read_only = false;
};

class RegularFileDevice final : public HeldDeviceIo {
 public:
  // Opens and locks the regular file `identity.device_path`; capacity is the
  // file's size, which must equal `identity.size_bytes`. Refusals are
  // DEVICE_NOT_REMOVABLE; nothing stays open on failure.
  static Result<std::unique_ptr<RegularFileDevice>> open(DiskIdentity identity,
                                                         RegularFileGeometry geometry);

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  IoResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  IoResult<void> flush() override;
  IoResult<std::uint64_t> seek(SeekFrom from) override;

  Result<void> sync_all() override;
  std::uint64_t capacity() const override { return capacity_; }
  std::uint64_t logical_block_size() const override {
    return geometry_.logical_block_size;
  }
  bool requires_aligned_io() const override { return geometry_.emulate_raw_alignment; }
  const DiskIdentity& identity() const override { return identity_; }
  Result<void> verify_current_identity() override;
  Result<void> eject() override;
  Result<bool> exact_detach_confirmed() override { return detached_; }

 private:
  RegularFileDevice(UniqueFd fd, DiskIdentity identity, RegularFileGeometry geometry,
                    dev_t device, ino_t inode);

  // EINVAL in emulated raw mode for a transfer a raw node would refuse.
  IoResult<void> check_alignment(std::size_t length) const;

  UniqueFd fd_;
  DiskIdentity identity_;
  RegularFileGeometry geometry_;
  std::uint64_t capacity_;
  dev_t device_;
  ino_t inode_;
  bool detached_ = false;
};

// The opener of the testing executable for requests that set
// testOnlyAllowRegularFile: `devicePath` must be the absolute path of an
// existing regular file whose size is `sizeBytes`; `deviceId` may be any valid
// identifier. The identity reports a removable, writable, unmounted whole
// device on the build's platform. A DeviceOpener; no policy applies to files.
Result<std::unique_ptr<HeldDeviceIo>> open_regular_file_target(
    const SelectedDisk& target, const DeviceOpenPolicy& policy = {});

}  // namespace ravik

#endif  // RAVIK_PLATFORM_FILE_REGULAR_FILE_DEVICE_H_
