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
// As strict as the frameworks: callbacks (completions and requests from
// another client to release the claim) are delivered only while the thread
// that scheduled the session runs its run loop, or, where scripted, before
// the request call returns; a run of another thread's loop serves nothing.
// A release request left unanswered for kResponseTimeout of virtual time
// hands the claim to the other client, and is_claimed() (like the real
// call) then still answers true. Eject is refused while the raw node is
// open. Each run advances a virtual clock by its limit, and each transfer
// by `transfer_time`, so a 30-second wait finishes in microseconds.
// Calls from any thread but the opening one are counted, not served. Not
// thread-safe: the platform under test is meant to use it from one thread;
// only the clock and release requests may also be driven from another one
// (a test's source that stalls while the opening thread waits on it).
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
#include <string>
#include <thread>
#include <vector>

#include "platform/macos/mac_system.h"
#include "support/fault_injecting_device.h"

namespace ravik::testing {

// One value of a description dictionary.
struct SimulatedValue {
  macos::ValueType type = macos::ValueType::kMissing;
  std::string text;
  std::int64_t number = 0;
  bool number_fits = true;  // false: not representable as a signed 64-bit value
  bool boolean = false;
  // Strings: the largest UTF-8 size the platform reports; text.size() when unset.
  std::optional<std::int64_t> reported_maximum_size;
  bool copy_fails = false;

  static SimulatedValue string(std::string text);
  static SimulatedValue integer(std::int64_t number);
  static SimulatedValue flag(bool boolean);
};

using SimulatedDescription = std::map<macos::DescriptionKey, SimulatedValue>;

// A removable whole disk "diskN" of `size` bytes with the given block size,
// device number (major << 24 | minor), model and bus path.
struct SimulatedDiskFacts {
  std::string bsd_name = "disk4";
  std::uint64_t size = 1'048'576;
  std::uint64_t block_size = 512;
  std::uint32_t device_number = (1u << 24) | 9u;
  std::string model = "Ravik Flash Drive";
  std::string bus_path = "IODeviceTree:/arm-io/usb-drd1/usb-drd1-port-hs/Flash@1";
};
SimulatedDescription description_of(const SimulatedDiskFacts& facts);

// How one unmount, claim or eject ends.
struct SimulatedOutcome {
  macos::ArbitrationStatus status = 0;
  bool completes = true;  // false: the callback never comes
  // The callback runs inside the request call, before it returns.
  bool before_return = false;
};

class SimulatedMacSystem final : public macos::MacSystem {
 public:
  // A disk described by `facts`, with the medium `medium` behind its node.
  SimulatedMacSystem(SimulatedDiskFacts facts, std::shared_ptr<FakeDisk> medium);

  // --- Script ---
  bool session_available = true;
  bool disk_resolvable = true;
  // Each copy takes the front entry; the last one is repeated. Nothing in an
  // entry: no description returned.
  std::deque<std::optional<SimulatedDescription>> descriptions;
  // Each operation takes the front outcome; when none is left it succeeds.
  std::deque<SimulatedOutcome> unmounts;
  std::deque<SimulatedOutcome> claims;
  std::deque<SimulatedOutcome> ejects;
  // A completed claim with status 0 leaves the disk unclaimed.
  bool claim_not_granted = false;
  // Another client asks for the claim as the raw node's read number
  // `release_request_at_read` (counted from 1) starts; 0: never.
  int release_request_at_read = 0;
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
  // Runs before every logged call returns, with its log entry: a test
  // changes the script here, between the steps of an operation.
  std::function<void(const std::string&)> on_call;

  // How long Disk Arbitration waits for the holder to answer a release
  // request before it hands the claim over.
  static constexpr std::chrono::seconds kResponseTimeout{10};

  // --- Record ---
  std::vector<std::string> calls;
  bool claimed = false;  // by the session under test
  bool claimed_by_other = false;
  int release_requests_refused = 0;
  int reads = 0;
  // Calls (device, session, disk or run loop) made from a thread other
  // than the one that scheduled the session.
  int calls_off_opening_thread = 0;
  bool descriptor_open = false;
  int zero_length_runs = 0;
  // Completion records of operations that never complete.
  std::vector<macos::OperationCompletion*> never_completed;
  std::shared_ptr<FakeDisk> medium;

  // Entries of `calls` equal to `call`.
  int count(const std::string& call) const;
  // Another client asks Disk Arbitration for the claim; the request waits
  // for the opening thread's run loop. Thread-safe.
  void request_claim_release();
  // Thread-safe: the virtual clock moves on by `by` (time the opening
  // thread spends waiting on something other than the system).
  void pass_time(std::chrono::steady_clock::duration by);
  // Thread-safe: waits up to `limit` of real time until no release request
  // is pending (answered, or handed over); false when one still is.
  bool wait_until_no_release_request(std::chrono::milliseconds limit);

  // --- MacSystem ---
  std::unique_ptr<macos::ArbitrationSession> create_session() override;
  void run_loop_once(std::chrono::duration<double> limit) override;
  std::chrono::steady_clock::time_point now() override;
  macos::SystemResult<std::unique_ptr<macos::RawDescriptor>> open_exclusive(
      const std::string& path, bool read_only) override;
  macos::SystemResult<macos::NodeStatus> link_status(const std::string& path) override;

  // Used by the simulated session, disk and descriptor.
  void log(std::string call);
  std::optional<SimulatedDescription> next_description();
  // `refusal`, when set, replaces a successful outcome's status.
  void start(std::deque<SimulatedOutcome>& outcomes, macos::OperationCompletion* record,
             std::function<void()> on_success,
             std::optional<macos::ArbitrationStatus> refusal = std::nullopt);
  void scheduled_on_this_thread();
  void set_release_answer(macos::ReleaseRequestAnswer answer) {
    release_answer_ = answer;
  }
  // A read or write of the raw node is about to reach the medium.
  void transfer(bool is_read);

 private:
  struct Pending {
    macos::OperationCompletion* record;
    macos::ArbitrationStatus status;
    std::function<void()> on_success;
  };
  static void complete(Pending done);
  bool on_opening_thread();
  // Under clock_mutex_.
  void advance(std::chrono::steady_clock::duration by);
  std::vector<Pending> pending_;
  // Guards the clock and the pending release request (and the claim flags
  // where they change with them).
  std::mutex clock_mutex_;
  std::condition_variable request_settled_;
  std::optional<std::chrono::steady_clock::time_point> release_requested_at_;
  macos::ReleaseRequestAnswer release_answer_ = nullptr;
  std::optional<std::thread::id> run_loop_thread_;
  std::chrono::steady_clock::time_point now_{};
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_SIMULATED_MAC_SYSTEM_H_
