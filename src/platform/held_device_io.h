// HeldDeviceIo: the one whole disk a device session holds, as everything above
// the platform layer sees it: positioned byte I/O (read, write, flush, seek)
// plus geometry, durability, identity and detach operations.
//
// A backend (the Linux block device, the test-only regular file, the fault
// injecting double) is created by its opener already holding the disk and is
// owned through std::unique_ptr by the transaction, its only user. Objects are
// not thread-safe: one thread (the session's main thread) uses a device.
//
// Contract every backend keeps:
// - Byte I/O works at the current position and advances it like a file
//   descriptor; short reads and writes are reported by their count and the
//   callers loop. Nothing is cached, reordered or padded. When
//   requires_aligned_io() is true, misaligned requests go to the system as they
//   are and fail there: alignment is the callers' duty.
// - After eject() has closed the descriptor, read/write/flush/seek fail with
//   closed_target_io_error() without reaching the system; while open, flush()
//   does nothing (durability is sync_all()'s business).
// - capacity() and logical_block_size() are fixed for the life of the hold.
// - Destruction closes the descriptor if still open and releases the claim if
//   still held; a detached device releases nothing twice.
#ifndef RAVIK_PLATFORM_HELD_DEVICE_IO_H_
#define RAVIK_PLATFORM_HELD_DEVICE_IO_H_

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "error/helper_error.h"
#include "io/io_error.h"
#include "io/seek_from.h"
#include "platform/selected_disk.h"

namespace ravik {

// The text of every byte-I/O failure on a device whose descriptor was closed.
inline constexpr std::string_view kClosedTargetText = "The held raw target is closed.";
// The context of the HelperError for operations on a closed device.
inline constexpr std::string_view kClosedTargetContext = "Raw target is no longer open";

// The I/O error of read/write/flush/seek after the descriptor was closed.
IoError closed_target_io_error();

// "Raw target is no longer open: The held raw target is closed." with `code`:
// WRITE_FAILED from sync_all(), DEVICE_DISCONNECTED from
// verify_current_identity() and eject().
HelperError closed_target_error(ErrorCode code);

// The files a held device reaches by name after its open.
struct HeldDeviceFiles {
  // The kernel attributes its release writes.
  std::vector<std::string> release_attributes;
};

class HeldDeviceIo {
 public:
  HeldDeviceIo() = default;
  HeldDeviceIo(const HeldDeviceIo&) = delete;
  HeldDeviceIo& operator=(const HeldDeviceIo&) = delete;
  virtual ~HeldDeviceIo() = default;

  // --- Byte stream -------------------------------------------------------

  // Reads up to buffer.size() bytes at the current position; 0 at the end of
  // the device (or for an empty buffer).
  virtual IoResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
  // Writes up to data.size() bytes at the current position; may be short.
  virtual IoResult<std::size_t> write(std::span<const std::uint8_t> data) = 0;
  // A no-op while open; fails with closed_target_io_error() once closed.
  virtual IoResult<void> flush() = 0;
  // Returns the new position counted from the start of the disk.
  virtual IoResult<std::uint64_t> seek(SeekFrom from) = 0;

  // Fills `buffer` completely, retrying interrupted and short reads. An end
  // of device before the buffer is full fails with kind kUnexpectedEof. On
  // failure the position is somewhere inside the range.
  IoResult<void> read_exact(std::span<std::uint8_t> buffer);
  // Writes all of `data`, retrying interrupted and short writes. A write that
  // makes no progress fails (kind kOther, text "failed to write whole
  // buffer").
  IoResult<void> write_all(std::span<const std::uint8_t> data);

  // --- Held-disk operations ------------------------------------------------

  // Makes every completed write durable on the medium, hardware cache
  // included. WRITE_FAILED on failure or when closed.
  virtual Result<void> sync_all() = 0;
  // Size of the disk in bytes, as confirmed at open.
  virtual std::uint64_t capacity() const = 0;
  // The logical block size in bytes, as confirmed at open.
  virtual std::uint64_t logical_block_size() const = 0;
  // True when every read and write must start at a multiple of
  // logical_block_size() and have a length that is a multiple of it.
  virtual bool requires_aligned_io() const = 0;
  // The identity confirmed at open.
  virtual const DiskIdentity& identity() const = 0;
  // Proves that the descriptor, the device node and the system's view of the
  // disk still are the selected, exclusively held disk, then unmounts any
  // volume of it that the system mounted meanwhile (a regular-file target
  // has none), so that the next write meets no file system in use. Nothing
  // is unmounted unless the identity holds. DEVICE_DISCONNECTED (or the
  // platform's unmount/time-out codes) on failure.
  virtual Result<void> verify_current_identity() = 0;
  // Proves identity (its failure is returned unchanged), closes the
  // descriptor, then detaches the medium; sets the detach flag on success.
  // The descriptor stays closed even when the detach is refused
  // (SAFE_RELEASE_FAILED) or times out (TIMEOUT).
  virtual Result<void> eject() = 0;
  // The detach flag: true only after a successful eject().
  virtual Result<bool> exact_detach_confirmed() = 0;
  // What this device still opens by name once it is held, besides its own
  // descriptor, so that the process may be kept from opening anything else.
  virtual HeldDeviceFiles files_opened_while_held() const { return {}; }
};

// What an executable allows a backend beyond the target itself.
struct DeviceOpenPolicy {
  // Testing helper only: loop devices count as removable whole disks.
  bool treat_loop_devices_as_removable = false;
};

// A backend's entry point: claims and opens the disk the target names,
// proves it matches the target, and returns it held; every refusal is a
// HelperError and leaves nothing held.
using DeviceOpener = Result<std::unique_ptr<HeldDeviceIo>> (*)(
    const SelectedDisk& target, const DeviceOpenPolicy& policy);

}  // namespace ravik

#endif  // RAVIK_PLATFORM_HELD_DEVICE_IO_H_
