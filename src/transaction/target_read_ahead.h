// TargetReadAhead: consecutive steps of a target range read by a thread of
// its own into a small fixed ring of transfer buffers, so that the caller
// hashes one step while up to kSlots - 1 following ones are read. The steps
// pass through an OrderedRing: they are handed out in order, and a failure
// (the cancel flag found set before a step's read, or the read's own error)
// comes in place of the step it prevented.
//
// While the reader runs it is the only user of the device: the caller must
// not touch the device between start() and the end of the pass (the
// destructor, which stops the reader and joins it on every path). Memory is
// kSlots buffers of one step, whatever the range, taken from the caller's
// pool and given back when the pass ends.
#ifndef RAVIK_TRANSACTION_TARGET_READ_AHEAD_H_
#define RAVIK_TRANSACTION_TARGET_READ_AHEAD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <thread>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "transaction/ordered_ring.h"
#include "transaction/transfer_buffer.h"

namespace ravik {

class TargetReadAhead {
 public:
  static constexpr std::size_t kSlots = 3;

  // `buffers` must outlive the pass.
  TargetReadAhead(HeldDeviceIo& device, const std::atomic<bool>& cancel_flag,
                  TransferBufferPool& buffers);
  TargetReadAhead(const TargetReadAhead&) = delete;
  TargetReadAhead& operator=(const TargetReadAhead&) = delete;
  ~TargetReadAhead();

  // Starts reading target bytes offset .. offset + length - 1 in steps of
  // `step` bytes (the last one shorter). UNKNOWN when the buffers or the
  // thread cannot be had.
  Result<void> start(std::uint64_t offset, std::uint64_t length, std::size_t step);

  // The next step's bytes, valid until the following call, which frees
  // them.
  Result<std::span<const std::uint8_t>> next();

 private:
  void read_steps();
  void stop_and_join();

  HeldDeviceIo& device_;
  const std::atomic<bool>& cancel_flag_;
  std::uint64_t offset_ = 0;
  std::uint64_t length_ = 0;
  std::size_t step_ = 0;
  TransferBufferPool& buffers_;
  TransferBufferPool::Loan slots_;

  OrderedRing order_{kSlots, 1};
  std::thread reader_;
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_TARGET_READ_AHEAD_H_
