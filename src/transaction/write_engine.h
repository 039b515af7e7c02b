// The image write engine: streams exactly the announced number of image bytes
// from a byte source to the held target, hashes them against the announced
// digest, pads the tail when asked to, and holds back a protected prefix of
// the image (its partition table area) until the rest is written, durable and
// read back, so that the target never exposes the new partition table over
// incompletely written data.
//
// Runs on the session thread and blocks it. The body's source reads and
// hashing run on two threads of the engine's own, joined before it returns;
// the device is written only from the calling thread, and the progress
// callback runs there too. Only the cancel flag is shared with the outside
// (read with acquire ordering). Memory is bounded whatever the image size: a
// ring of four 4 MiB transfer buffers, which the zero buffer (at most 4 MiB)
// and the read-ahead ring of the readbacks (three 4 MiB buffers) reuse, the
// prefix (at most 16 MiB) and two blocks for the tail. Transfer buffers are
// page-aligned, so a direct-I/O device takes them without a bounce copy.
#ifndef RAVIK_TRANSACTION_WRITE_ENGINE_H_
#define RAVIK_TRANSACTION_WRITE_ENGINE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "platform/held_device_io.h"
#include "protocol/client_message.h"
#include "transaction/transfer_buffer.h"

namespace ravik {

// Bytes taken from the source per read, at most.
inline constexpr std::size_t kWriteReadBufferBytes = 4'194'304;
// The largest zero buffer used to blank the prefix area.
inline constexpr std::size_t kZeroBufferBytes = 4'194'304;

// What the request asks of one image write.
struct ImageWritePlan {
  std::uint64_t bytes_total = 0;             // B
  std::uint64_t protected_prefix_bytes = 0;  // P
  TailPolicy tail_policy = TailPolicy::kExact;
  std::string expected_sha256;  // lower-case hex
};

// How far a write got; kept by the transaction across a failure.
struct WriteCounters {
  std::uint64_t source_bytes_read = 0;
  // The highest target position the write reached.
  std::uint64_t target_high_water = 0;
};

// The result of a successful write.
struct WriteOutcome {
  std::string source_sha256;
  std::uint64_t bytes_written = 0;         // B
  std::uint64_t target_bytes_written = 0;  // T: B, padded under zero-pad-sector
  std::uint64_t write_duration_ms = 0;
  std::uint64_t write_speed_bps = 0;
  std::uint64_t protected_prefix_bytes = 0;
  bool protected_body_verified = true;
  bool protected_prefix_verified = true;
};

// Told the cumulative source bytes consumed, once per source read; an error
// ends the write with that error.
using WriteProgress = std::function<Result<void>(std::uint64_t source_bytes_read)>;

// The stages of a write after its body, which move no source bytes.
enum class WritePhase {
  kFlush,   // the final flush to the hardware has begun
  kVerify,  // the protected readback: bytes of the whole image read back so far
};

// Told when the final flush begins (with the image bytes written) and, when a
// prefix is protected, as the readback begins (0) and after every step of it,
// at the write's cadence; an error ends the write with that error.
using WritePhaseProgress =
    std::function<Result<void>(WritePhase phase, std::uint64_t bytes_done)>;

// Makes a read of the source that waits on another thread give way (the
// read fails with kInterrupted), so that a write that fails need not wait for
// the application's next frame before it is reported. Thread-safe; may be
// empty when the source never waits long.
using WakeSource = std::function<void()>;

// Writes the image once identity, cancellation and the request were checked
// by the transaction: geometry and size checks, the prefix phase, the body,
// the end-of-stream check, the tail, durability, the digest check, the
// protected commit and a final identity check. On failure nothing is rolled
// back and `counters` tell how far the source and the target got; with a
// protected prefix the target's prefix area then holds its old bytes or
// zeros, never part of the new prefix, unless the failure came during or
// after the commit of the prefix itself; even then the first block (the
// partition table) is new only when the whole image is on the target. Once
// the commit has begun a cancellation no longer stops the write: it stays set
// and stops the next operation.
//
// The transfer buffers (the ring, the zero buffer, the readbacks' read-ahead)
// are taken from `buffers` and given back before the write returns.
Result<WriteOutcome> write_image(HeldDeviceIo& device, const ImageWritePlan& plan,
                                 ByteSource& source, const WriteProgress& progress,
                                 WriteCounters& counters,
                                 const std::atomic<bool>& cancel_flag,
                                 const WakeSource& wake_source,
                                 TransferBufferPool& buffers,
                                 const WritePhaseProgress& phases = {});

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_WRITE_ENGINE_H_
