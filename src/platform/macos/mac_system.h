// MacSystem: the Disk Arbitration, Core Foundation and raw-node calls the
// macOS whole-disk platform makes, and nothing more. The claim, description
// and identity logic is written once against this interface; the real
// implementation (apple_mac_system.cc, Apple only) is a thin layer over the
// frameworks and POSIX, and tests drive the same logic through a scriptable
// simulation.
//
// The session is served on a serial dispatch queue of its own: release
// requests, approvals, completions and disappearances are answered there
// within milliseconds, whatever the thread that uses the device is doing
// (a long write, a cache flush, a wait for the application). Disk
// Arbitration counts a callback left unanswered for 10 seconds as approved,
// so nothing the device's own thread does may stand between the queue and
// its answers. Everything the queue touches is therefore thread-safe:
// OperationCompletion and HoldCallbacks.
#ifndef RAVIK_PLATFORM_MACOS_MAC_SYSTEM_H_
#define RAVIK_PLATFORM_MACOS_MAC_SYSTEM_H_

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "platform/held_device_io.h"

namespace ravik::macos {

// A Disk Arbitration status (DAReturn): 0 for success, else the dissenter's.
using ArbitrationStatus = std::int32_t;

// kDAReturnBusy: the status with which the held disk refuses every request
// to release it.
inline constexpr ArbitrationStatus kStatusBusy =
    static_cast<ArbitrationStatus>(0xF8DA0002u);
// kDAReturnExclusiveAccess: the status with which the hold dissents from
// another party's mount, unmount or eject of the held disk.
inline constexpr ArbitrationStatus kStatusExclusiveAccess =
    static_cast<ArbitrationStatus>(0xF8DA0004u);

// Filled once by the completion callback of one unmount, claim or eject (on
// the session's queue, or inside the request call when Disk Arbitration
// refuses at once), and waited on by the device's thread. It is allocated
// for each operation and handed to Disk Arbitration as the callback's
// context; after a time-out it is never freed, because the callback may
// still arrive. Thread-safe.
class OperationCompletion {
 public:
  void complete(ArbitrationStatus status);
  // The status once complete.
  std::optional<ArbitrationStatus> result() const;
  // Waits up to `limit` of real time for completion.
  std::optional<ArbitrationStatus> wait_for(std::chrono::nanoseconds limit);

 private:
  mutable std::mutex mutex_;
  std::condition_variable completed_;
  std::optional<ArbitrationStatus> status_;
};

// The items of a disk's description dictionary that identify it. The
// model and the bus path are optional: a device without a product name has
// no model, one without a device-tree ancestor no bus path.
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
  kDevicePath,
  kMediaPath,
  // When the disk object appeared, in seconds; a disk that vanished and
  // came back under the same BSD name carries another.
  kAppearanceTime,
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
  // The number as a 64-bit floating-point value.
  virtual double double_value(DescriptionKey key) const = 0;
  virtual bool bool_value(DescriptionKey key) const = 0;
  // The largest UTF-8 size of the string for its length, as the platform
  // reports it; negative when the platform cannot tell.
  virtual std::int64_t string_maximum_utf8_size(DescriptionKey key) const = 0;
  // Copies the string as NUL-terminated UTF-8 into `buffer`; false when it
  // does not fit or cannot be converted.
  virtual bool copy_string_utf8(DescriptionKey key, std::span<char> buffer) const = 0;
};

// What the session's queue puts to the hold while the disk is held. Disk
// Arbitration asks every session, the helper's own included, and cannot say
// whose request it is: the answers rest on the hold's own bookkeeping of
// its requests in flight. Called on the queue; implementations are
// thread-safe. A status of 0 approves, any other dissents with it.
class HoldCallbacks {
 public:
  virtual ~HoldCallbacks() = default;
  // Another client asks for the claim.
  virtual ArbitrationStatus answer_release_request() = 0;
  // A volume of the held disk is about to be mounted (an automount included).
  virtual ArbitrationStatus answer_mount() = 0;
  virtual ArbitrationStatus answer_unmount() = 0;
  virtual ArbitrationStatus answer_eject() = 0;
  // A disk of the held unit is gone; `snapshot` is the description it
  // carried (nothing when none could be copied).
  virtual void disk_disappeared(const DescriptionDictionary* snapshot) = 0;
};

// The disk object of one whole disk. Each operation starts asynchronously;
// its completion callback fills `completion` on the session's queue, or
// inside the call when Disk Arbitration refuses at once. Destruction
// releases the disk object.
class ArbitrationDisk {
 public:
  virtual ~ArbitrationDisk() = default;
  // Nothing when the platform returns no description (a disk it no longer
  // knows).
  virtual std::unique_ptr<DescriptionDictionary> copy_description() = 0;
  // Unmounts every volume of the whole disk.
  virtual void unmount_whole(OperationCompletion* completion) = 0;
  // Claims the disk exclusively; while the claim lasts every request from
  // another client to release it is put to `hold`, on the queue.
  virtual void claim(OperationCompletion* completion, HoldCallbacks* hold) = 0;
  // Registers `hold` for the mount, unmount and eject approvals and the
  // disappearances of every disk of BSD unit `bsd_unit` (the whole disk and
  // its partitions), until unwatch().
  virtual void watch(HoldCallbacks* hold, std::int64_t bsd_unit) = 0;
  virtual void unwatch() = 0;
  // Whether the disk is claimed by anyone, this session or another: a
  // claim handed over to another client still counts.
  virtual bool is_claimed() = 0;
  virtual void unclaim() = 0;
  virtual void eject(OperationCompletion* completion) = 0;
};

// A Disk Arbitration session. Destruction releases it (after serving
// stopped).
class ArbitrationSession {
 public:
  virtual ~ArbitrationSession() = default;
  // Serves the session's callbacks on a serial dispatch queue of its own.
  virtual void serve_on_own_queue() = 0;
  // Takes the session off its queue and returns once no callback runs or
  // waits to run there.
  virtual void stop_serving() = 0;
  // The disk object named `bsd_name`; nothing when none can be created.
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

  // --- Disk Arbitration ---
  // Nothing when the platform creates no session.
  virtual std::unique_ptr<ArbitrationSession> create_session() = 0;
  // Waits until `completion` is complete, for at most `limit`; nothing when
  // the limit passed first.
  virtual std::optional<ArbitrationStatus> wait(OperationCompletion& completion,
                                                std::chrono::seconds limit) = 0;
  // The monotonic clock of the waits.
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
