// FaultInjectingDevice: an in-memory HeldDeviceIo for unit tests, with
// switches a test flips to make the disk misbehave: failing, short, zero and
// interrupted reads and writes at chosen offsets; identity lost after some
// checks; a failing cache flush; writes acknowledged but stored as zeros;
// a refused eject; a detach confirmed only on
// a later poll, or a failing poll; a reported capacity or block size that is
// wrong; emulated raw alignment (misaligned transfers fail with EINVAL).
//
// The device is handed to the transaction as a unique_ptr while the test keeps
// the shared FakeDisk: the medium, the switches and a record of every call,
// so it can inspect the target after a failure and count what was done.
// Not thread-safe; one test thread.
#ifndef RAVIK_TESTS_SUPPORT_FAULT_INJECTING_DEVICE_H_
#define RAVIK_TESTS_SUPPORT_FAULT_INJECTING_DEVICE_H_

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/held_device_io.h"

namespace ravik::testing {

enum class FaultKind {
  kFail,         // an I/O error with `os_error`, nothing transferred
  kShort,        // only `short_length` bytes transferred
  kZero,         // a count of 0
  kInterrupted,  // EINTR, nothing transferred
};

// Fires on a transfer whose range covers `offset`, `times` times (then
// disarms). Applies to reads or writes as placed in FakeDisk.
struct IoFault {
  std::uint64_t offset = 0;
  FaultKind kind = FaultKind::kFail;
  int os_error = EIO;
  std::size_t short_length = 1;
  int times = 1;
};

// One transfer that reached the medium (faulted transfers that moved no byte
// are not recorded).
struct Transfer {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
  // For writes: true when every byte written was zero.
  bool all_zero = false;
  // The memory transferred started on a multiple of the logical block size,
  // as a direct-I/O device needs to take it without a bounce copy.
  bool memory_aligned = false;
};

enum class CallKind { kRead, kWrite, kSeek, kSync, kVerify, kEject, kDetachPoll };

// A counterfeit stick: it keeps only `bytes.size()` bytes but reports
// `reported_capacity`. Past the real size, a wrapping one stores and reads
// at the offset modulo the real size; a dropping one discards writes and
// reads zeros.
enum class Counterfeit { kNone, kWraps, kDropsWrites };

struct FakeDisk {
  explicit FakeDisk(std::uint64_t size, std::uint8_t fill = 0);

  // The medium.
  std::vector<std::uint8_t> bytes;

  // Geometry as reported; the medium itself is `bytes.size()` long.
  std::optional<std::uint64_t> reported_capacity;
  std::uint64_t logical_block_size = 512;
  bool requires_aligned_io = false;
  Counterfeit counterfeit = Counterfeit::kNone;

  DiskIdentity identity;

  // --- Switches ---
  std::vector<IoFault> read_faults;
  std::vector<IoFault> write_faults;
  // verify_current_identity succeeds this many times, then fails with
  // DEVICE_DISCONNECTED. Unset: always succeeds.
  std::optional<int> identity_checks_before_loss;
  // sync_all fails (WRITE_FAILED) on call number N (1-based) and after.
  std::optional<int> fail_sync_from_call;
  // eject closes the descriptor, then fails with SAFE_RELEASE_FAILED.
  bool refuse_eject = false;
  // exact_detach_confirmed turns true on this poll (1-based) even without
  // a successful eject (the medium was pulled).
  std::optional<int> detach_confirmed_on_poll;
  // exact_detach_confirmed fails (DEVICE_DISCONNECTED) on this poll (1-based).
  std::optional<int> fail_detach_poll;
  // Writes report more bytes than were offered.
  bool overreport_writes = false;
  // Writes (and syncs) succeed, but the medium receives zeros: a stick
  // that acknowledges what it does not store.
  bool writes_store_zeros = false;
  // A write call moves at most this many bytes (a device that splits large
  // transfers), so one large write becomes several calls.
  std::optional<std::size_t> max_write_length;
  // Runs after every call the device receives (before it returns), with the
  // call's kind; a test flips switches or sets a cancel flag here.
  std::function<void(CallKind)> on_call;

  // --- Record ---
  std::vector<Transfer> reads;
  std::vector<Transfer> writes;
  std::vector<CallKind> calls;
  int identity_checks = 0;
  int sync_calls = 0;
  int detach_polls = 0;
  bool open = true;
  bool detached = false;

  int count(CallKind kind) const;
};

class FaultInjectingDevice final : public HeldDeviceIo {
 public:
  explicit FaultInjectingDevice(std::shared_ptr<FakeDisk> disk);

  // A device over `disk`, owned the way the transaction owns its device.
  static std::unique_ptr<HeldDeviceIo> make(std::shared_ptr<FakeDisk> disk);

  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;
  IoResult<std::size_t> write(std::span<const std::uint8_t> data) override;
  IoResult<void> flush() override;
  IoResult<std::uint64_t> seek(SeekFrom from) override;

  Result<void> sync_all() override;
  std::uint64_t capacity() const override;
  std::uint64_t logical_block_size() const override;
  bool requires_aligned_io() const override;
  const DiskIdentity& identity() const override;
  Result<void> verify_current_identity() override;
  Result<void> eject() override;
  Result<bool> exact_detach_confirmed() override;

 private:
  void note(CallKind kind);
  // The armed fault covering [position_, position_ + length), disarming it
  // by one use, or nothing.
  std::optional<IoFault> take_fault(std::vector<IoFault>& faults, std::size_t length);
  bool misaligned(std::size_t length) const;
  bool memory_aligned(const void* data) const;
  // Where transfers stop: the medium's end, or a counterfeit's reported one.
  std::uint64_t medium_end() const;
  // Calls `run` for each piece of the `count` bytes at the position with
  // the piece's offset in the medium (none: a counterfeit dropped it), its
  // offset in the transfer and its length.
  void for_each_medium_run(
      std::size_t count,
      const std::function<void(std::optional<std::uint64_t>, std::size_t, std::size_t)>&
          run) const;

  std::shared_ptr<FakeDisk> disk_;
  std::uint64_t position_ = 0;
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_FAULT_INJECTING_DEVICE_H_
