// MacSystem: the Disk Arbitration, Core Foundation and raw-node calls the
// macOS whole-disk platform makes, and nothing more. The claim, description
// and identity logic is written once against this interface; the real
// implementation (apple_mac_system.cc, Apple only) is a thin layer over the
// frameworks and POSIX, and tests drive the same logic through a scriptable
// simulation.
//
// Every object here is used by the thread that opened the disk: the session
// is scheduled on that thread's run loop and completion callbacks are
// delivered only while that thread runs the loop.
#ifndef RAVIK_PLATFORM_MACOS_MAC_SYSTEM_H_
#define RAVIK_PLATFORM_MACOS_MAC_SYSTEM_H_

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "platform/held_device_io.h"

namespace ravik::macos {

// A Disk Arbitration status (DAReturn): 0 for success, else the dissenter's.
using ArbitrationStatus = std::int32_t;

// The status with which the held disk refuses every request to release it.
inline constexpr ArbitrationStatus kStatusBusy =
    static_cast<ArbitrationStatus>(0xF8DA0002u);

// Answers a request from another client to release the claim: the status
// of the dissenter to return, or 0 to let the claim go.
using ReleaseRequestAnswer = ArbitrationStatus (*)();

// Filled by the completion callback of one unmount, claim or eject. It is
// allocated for each operation and handed to Disk Arbitration as the
// callback's context; after a time-out it is never freed, because the
// callback may still arrive.
struct OperationCompletion {
  ArbitrationStatus status = 0;
  bool done = false;
};

// The items of a disk's description dictionary that identify it.
enum class DescriptionKey {
  kMediaBsdName,
  kMediaSize,
  kMediaBlockSize,
  kMediaBsdMajor,
  kMediaBsdMinor,
  kDeviceModel,
  kBusPath,
  kMediaWhole,
  kMediaWritable,
  kMediaRemovable,
  kMediaEjectable,
};

enum class ValueType { kMissing, kString, kNumber, kBoolean, kOther };

// One copied description dictionary; destruction releases it.
class DescriptionDictionary {
 public:
  virtual ~DescriptionDictionary() = default;
  // The type of the value under `key`, kMissing when there is none.
  virtual ValueType type_of(DescriptionKey key) const = 0;
  // The number as a signed 64-bit integer; nothing when it does not fit.
  virtual std::optional<std::int64_t> int64_value(DescriptionKey key) const = 0;
  virtual bool bool_value(DescriptionKey key) const = 0;
  // The largest UTF-8 size of the string for its length, as the platform
  // reports it; negative when the platform cannot tell.
  virtual std::int64_t string_maximum_utf8_size(DescriptionKey key) const = 0;
  // Copies the string as NUL-terminated UTF-8 into `buffer`; false when it
  // does not fit or cannot be converted.
  virtual bool copy_string_utf8(DescriptionKey key, std::span<char> buffer) const = 0;
};

// The disk object of one whole disk. Each operation starts asynchronously;
// its completion callback fills `completion` while the run loop runs.
// Destruction releases the disk object.
class ArbitrationDisk {
 public:
  virtual ~ArbitrationDisk() = default;
  // Nothing when the platform returns no description.
  virtual std::unique_ptr<DescriptionDictionary> copy_description() = 0;
  // Unmounts every volume of the whole disk.
  virtual void unmount_whole(OperationCompletion* completion) = 0;
  // Claims the disk exclusively; while the claim lasts every request from
  // another client to release it is put to `answer`, on the run loop.
  virtual void claim(OperationCompletion* completion, ReleaseRequestAnswer answer) = 0;
  // Whether the disk is claimed by anyone, this session or another: a
  // claim handed over to another client still counts.
  virtual bool is_claimed() = 0;
  virtual void unclaim() = 0;
  virtual void eject(OperationCompletion* completion) = 0;
};

// A Disk Arbitration session. Destruction releases it (after it was
// unscheduled).
class ArbitrationSession {
 public:
  virtual ~ArbitrationSession() = default;
  // Schedules the session on the current thread's run loop, default mode.
  virtual void schedule_with_current_run_loop() = 0;
  virtual void unschedule_from_run_loop() = 0;
  // The whole disk named `bsd_name`, or nothing when it cannot be resolved.
  virtual std::unique_ptr<ArbitrationDisk> disk_from_bsd_name(
      const std::string& bsd_name) = 0;
};

// An errno on failure.
template <class T>
using SystemResult = std::expected<T, int>;

// What fstat or lstat tells about a node.
struct NodeStatus {
  bool is_device = false;  // a character or block device
  // The device number: major in bits 24 to 31, minor in bits 0 to 23.
  std::uint32_t device_number = 0;
};

// One open descriptor of the raw node; destruction closes it.
class RawDescriptor {
 public:
  virtual ~RawDescriptor() = default;
  virtual SystemResult<NodeStatus> status() = 0;
  virtual SystemResult<std::uint32_t> block_size() = 0;
  virtual SystemResult<std::uint64_t> block_count() = 0;
  // Has the device write its hardware cache to the medium.
  virtual SystemResult<void> synchronize_cache() = 0;
  virtual SystemResult<std::size_t> read(std::span<std::uint8_t> buffer) = 0;
  virtual SystemResult<std::size_t> write(std::span<const std::uint8_t> data) = 0;
  // The new position from the start.
  virtual SystemResult<std::uint64_t> seek(std::int64_t offset,
                                           SeekFrom::Origin origin) = 0;
};

class MacSystem {
 public:
  virtual ~MacSystem() = default;

  // --- Disk Arbitration and the run loop ---
  // Nothing when the platform creates no session.
  virtual std::unique_ptr<ArbitrationSession> create_session() = 0;
  // Runs the current thread's run loop in the default mode for at most
  // `limit`, returning after one source was handled.
  virtual void run_loop_once(std::chrono::duration<double> limit) = 0;
  // The monotonic clock the waits measure with.
  virtual std::chrono::steady_clock::time_point now() = 0;

  // --- The raw node ---
  // Opens `path` read-write (read-only for a hold that only reads),
  // exclusively, without following a link, with close-on-exec.
  virtual SystemResult<std::unique_ptr<RawDescriptor>> open_exclusive(
      const std::string& path, bool read_only) = 0;
  // lstat: the node itself, a link is not followed.
  virtual SystemResult<NodeStatus> link_status(const std::string& path) = 0;
};

}  // namespace ravik::macos

#endif  // RAVIK_PLATFORM_MACOS_MAC_SYSTEM_H_
