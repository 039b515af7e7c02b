// SimulatedMacSystem: a scriptable MacSystem for tests of the macOS
// whole-disk platform. A test scripts how each call is answered (a session or
// disk that cannot be had, descriptions that change from one copy to the
// next or miss items, unmount/claim/eject statuses, operations that never
// complete, device numbers of the node and the descriptor, ioctl failures)
// and reads back the log of the calls in the order they were made. The raw
// node's reads, writes and seeks go to a FaultInjectingDevice over a
// FakeDisk, so the platform runs the transaction against a medium that can
// misbehave.
//
// It behaves as the disk daemon does:
// - The session's callbacks (completions, release requests, approvals,
//   disappearances) run on a queue thread of the session's own, never on
//   the caller's thread; a request Disk Arbitration refuses at once (an
//   unknown disk: kDAReturnBadArgument) completes inside the call.
// - A claim arbitrates only between claimants: other parties' mounts (the
//   automount of a new partition), unmounts and ejects are refused only by
//   a dissenting approval callback. Approvals are asked of every watching
//   session, the requester's own included.
// - The 10-second rule: a release request or approval the queue leaves
//   unanswered for kResponseTimeout of virtual time counts as approved, and
//   the session is then "not responding": it is asked nothing (other
//   parties succeed at once) until its queue next fetches, which runs every
//   callback queued meanwhile in one go.
// - is_claimed() answers true while anyone holds a claim, so a claim handed
//   over stays invisible to its former holder.
// - The daemon's own refusals come with its statuses: an unmount that would
//   take down the root or data volume kDAReturnBusy, an eject of a disk not
//   described as whole kDAReturnUnsupported (eject approval is asked only
//   for whole disks), a request on a disk vanishing meanwhile
//   kDAReturnNotFound, a claim on a disk another client holds the holder's
//   dissent; a whole-disk unmount with nothing mounted succeeds.
// - Eject does not unmount, and a successful one makes the disk disappear
//   (unless the outcome says the driver could not eject, ENOTTY): the
//   disappearance is reported to the watching session with the disk's
//   snapshot, and the daemon no longer describes the disk.
// Waits finish in virtual time: a wait whose completion cannot come any
// more (the queue is idle or stalled) moves the clock on by its limit, so a
// 30-second time-out takes microseconds. Thread-safe.
#ifndef RAVIK_TESTS_SUPPORT_SIMULATED_MAC_SYSTEM_H_
#define RAVIK_TESTS_SUPPORT_SIMULATED_MAC_SYSTEM_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/macos/mac_system.h"
#include "support/fault_injecting_device.h"

namespace ravik::testing {

// Statuses the daemon answers with.
inline constexpr macos::ArbitrationStatus kStatusUnixBusy =
    0x0000C010;  // unix_err(EBUSY)
inline constexpr macos::ArbitrationStatus kStatusBadArgument =
    static_cast<macos::ArbitrationStatus>(0xF8DA0003u);
inline constexpr macos::ArbitrationStatus kStatusNotFound =
    static_cast<macos::ArbitrationStatus>(0xF8DA0006u);
inline constexpr macos::ArbitrationStatus kStatusUnsupported =
    static_cast<macos::ArbitrationStatus>(0xF8DA000Cu);

// One value of a description dictionary.
struct SimulatedValue {
  macos::ValueType type = macos::ValueType::kMissing;
  std::string text;
  std::int64_t number = 0;
  double real = 0;
  bool number_fits = true;  // false: not representable as a signed 64-bit value
  bool boolean = false;
  // Strings: the largest UTF-8 size the platform reports; text.size() when unset.
  std::optional<std::int64_t> reported_maximum_size;
  bool copy_fails = false;

  static SimulatedValue string(std::string text);
  static SimulatedValue integer(std::int64_t number);
  static SimulatedValue time(double seconds);
  static SimulatedValue flag(bool boolean);
};

using SimulatedDescription = std::map<macos::DescriptionKey, SimulatedValue>;

// A removable whole disk "diskN" of `size` bytes with the given block size,
// device number (major << 24 | minor), optional model and bus path (which
// names the controller, the disk's device-tree ancestor), and the paths and
// appearance time of this appearance of it.
struct SimulatedDiskFacts {
  std::string bsd_name = "disk4";
  std::uint64_t size = 1'048'576;
  std::uint64_t block_size = 512;
  std::uint32_t device_number = (1u << 24) | 9u;
  std::optional<std::string> model = "Ravik Flash Drive";
  std::optional<std::string> bus_path = "IODeviceTree:/arm-io/usb-drd1@2280000";
  std::string device_path = "IOService:/AppleARMPE/arm-io/usb-drd1/Ravik Flash Drive@1";
  std::string media_path = "IODeviceTree:/arm-io/usb-drd1/Ravik Media";
  double appearance_time = 786'000'000.25;
};
SimulatedDescription description_of(const SimulatedDiskFacts& facts);

// How one unmount, claim or eject ends.
struct SimulatedOutcome {
  macos::ArbitrationStatus status = 0;
  bool completes = true;  // false: the callback never comes
  // The callback runs inside the request call, before it returns.
  bool before_return = false;
  // Eject: a successful one takes the media away. False: the driver could
  // not eject (ENOTTY), which the daemon still answers as a success.
  bool disappears = true;
  // The disk vanishes while the request is pending, which then ends with
  // kDAReturnNotFound.
  bool vanishes = false;
};

class SimulatedMacSystem final : public macos::MacSystem {
 public:
  // A disk described by `facts`, with the medium `medium` behind its node.
  SimulatedMacSystem(SimulatedDiskFacts facts, std::shared_ptr<FakeDisk> medium);
  ~SimulatedMacSystem() override;

  // --- Script (set before the platform runs, or from on_call) ---
  bool session_available = true;
  bool disk_resolvable = true;
  // False: the daemon does not know the disk (any more): no description, and
  // every request fails at once with kDAReturnBadArgument.
  bool disk_known = true;
  // Each copy takes the front entry; the last one is repeated. Nothing in an
  // entry: no description returned.
  std::deque<std::optional<SimulatedDescription>> descriptions;
  // Each operation takes the front outcome; when none is left it succeeds.
  std::deque<SimulatedOutcome> unmounts;
  std::deque<SimulatedOutcome> claims;
  std::deque<SimulatedOutcome> ejects;
  // A completed claim with status 0 leaves the disk unclaimed.
  bool claim_not_granted = false;
  // Volumes of the disk mounted as the root or the data volume (the system
  // started from the disk): no unmount takes them down.
  std::set<std::string> system_volumes;
  // Another client asks for the claim as the raw node's read or write number
  // `release_request_at_read` / `_at_write` (counted from 1) starts; 0:
  // never. The transfer then takes its time, the request being answered
  // (or not) meanwhile.
  int release_request_at_read = 0;
  int release_request_at_write = 0;
  // A new partition of the disk appears (the image write created it) as
  // write number `partition_appears_at_write` ends, and the daemon tries to
  // automount it; 0: never.
  int partition_appears_at_write = 0;
  // Virtual time each read or write of the raw node takes.
  std::chrono::steady_clock::duration transfer_time{};
  // The node: an errno for open/lstat, or what fstat and lstat report.
  int open_error = 0;
  int lstat_error = 0;
  int fstat_error = 0;
  macos::NodeStatus descriptor_status;
  macos::NodeStatus path_status;
  macos::SystemResult<std::uint32_t> block_size;
  macos::SystemResult<std::uint64_t> block_count;
  // Runs after every logged call, with its log entry: a test changes the
  // script here, between the steps of an operation.
  std::function<void(const std::string&)> on_call;

  // How long Disk Arbitration waits for a session to answer a callback
  // before it counts as approved.
  static constexpr std::chrono::seconds kResponseTimeout{10};

  // --- Record (read once the platform is idle) ---
  std::vector<std::string> calls;
  bool claimed = false;  // by the session under test
  bool claimed_by_other = false;
  int release_requests_refused = 0;
  int reads = 0;
  int writes = 0;
  bool descriptor_open = false;
  // Volumes of the disk that are mounted.
  std::set<std::string> mounted;
  // Mounts, unmounts and ejects the watching session dissented from.
  int dissents = 0;
  // The watching session was asked nothing because it was not responding.
  bool not_responding = false;
  // Completion records of operations that never complete.
  std::vector<macos::OperationCompletion*> never_completed;
  std::shared_ptr<FakeDisk> medium;

  // Entries of `calls` equal to `call`.
  int count(const std::string& call) const;

  // --- Other parties (any thread) ---
  // Another client asks Disk Arbitration for the claim; the request goes to
  // the session's queue.
  void request_claim_release();
  // Waits up to `limit` of real time until no release request is pending
  // (answered, or handed over); false when one still is.
  bool wait_until_no_release_request(std::chrono::milliseconds limit);
  // The daemon probes a new partition `name` of the disk and mounts it
  // unless a watching session dissents; true when it got mounted.
  bool automount(const std::string& name);
  // Another application unmounts every mounted volume of the disk, or
  // ejects the disk or one of its partitions (`name`, the whole disk when
  // empty); 0 when done, else the refusing status.
  macos::ArbitrationStatus unmount_by_other();
  macos::ArbitrationStatus eject_by_other(const std::string& name = {});
  // The session's queue stops fetching (its thread starved); resuming
  // fetches every callback queued meanwhile at once.
  void stall_queue();
  void resume_queue();
  // The virtual clock moves on by `by` (time a thread spends waiting on
  // something other than the system).
  void pass_time(std::chrono::steady_clock::duration by);

  // --- MacSystem ---
  std::unique_ptr<macos::ArbitrationSession> create_session() override;
  std::optional<macos::ArbitrationStatus> wait(macos::OperationCompletion& completion,
                                               std::chrono::seconds limit) override;
  std::chrono::steady_clock::time_point now() override;
  macos::SystemResult<std::unique_ptr<macos::RawDescriptor>> open_exclusive(
      const std::string& path, bool read_only) override;
  macos::SystemResult<macos::NodeStatus> link_status(const std::string& path) override;

  // --- Used by the simulated session, disk and descriptor ---
  void log(std::string call);
  std::optional<SimulatedDescription> copy_description();
  enum class Operation { kUnmount, kClaim, kEject };
  void start(Operation operation, macos::OperationCompletion* record,
             macos::HoldCallbacks* hold);
  void watch(macos::HoldCallbacks* hold);
  void unwatch();
  bool is_claimed();
  void unclaim();
  void start_queue();
  void stop_queue();
  // A read or write of the raw node is about to reach the medium, and one
  // has done so.
  void transfer_starts(bool is_read);
  void transfer_ended(bool is_read);
  void set_descriptor_open(bool open);
  macos::NodeStatus current_descriptor_status();
  int current_fstat_error();
  macos::SystemResult<std::uint32_t> current_block_size();
  macos::SystemResult<std::uint64_t> current_block_count();
  std::shared_ptr<FakeDisk> current_medium();

 private:
  using Lock = std::unique_lock<std::mutex>;
  struct Callback {
    std::function<void()> run;  // under mutex_
    std::chrono::steady_clock::time_point queued_at;
  };
  // Under mutex_.
  void post(std::function<void()> run);
  void advance(std::chrono::steady_clock::duration by);
  void disappear();
  // Why the daemon itself refuses an unmount of every mounted volume, or an
  // eject of the disk; 0 when it does not.
  macos::ArbitrationStatus unmount_refusal() const;
  macos::ArbitrationStatus eject_refusal() const;
  void request_release_locked();
  // Asks the watching session through `ask`; waits for the queue's answer.
  // Approved (0) when no session watches, it is not responding, or it
  // leaves the request unanswered past the response timeout.
  macos::ArbitrationStatus ask_approval(
      Lock& lock, std::function<macos::ArbitrationStatus(macos::HoldCallbacks&)> ask);
  bool queue_idle() const;
  void serve_queue();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Callback> queue_;
  bool queue_running_ = false;
  bool queue_stalled_ = false;
  bool queue_busy_ = false;
  bool queue_stopping_ = false;
  std::thread queue_thread_;
  bool release_pending_ = false;
  std::chrono::steady_clock::time_point release_requested_at_{};
  macos::HoldCallbacks* claim_holder_ = nullptr;
  macos::HoldCallbacks* watcher_ = nullptr;
  SimulatedDiskFacts facts_;
  std::chrono::steady_clock::time_point now_{};
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_SIMULATED_MAC_SYSTEM_H_
