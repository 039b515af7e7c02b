// SourcePipeline: the image body on its way from the source to the held
// target, in three stages that overlap. A reader thread takes chunks from the
// source into a fixed ring of transfer buffers, a hasher thread feeds them to
// the whole-source hasher, and the caller's thread (the only one that touches
// the device) takes them in stream order and writes them. While chunk i is
// written, chunk i is hashed and the reader may be up to kSlots - 1 chunks
// ahead of both.
//
// The stages pass chunks through an OrderedRing: each chunk is handed out
// only after all earlier ones, and a failure of the source is handed out in
// place of the chunk it prevented, so the writer sees chunks and failures in
// the order of a single-threaded read-hash-write loop. The writer trails the
// hasher (a chunk is handed out only once the chunks before it are hashed): a
// writer faster than the hasher (memory-speed media) would otherwise run a
// ring ahead and leave the hasher to finish those chunks alone, one core idle.
// Reads are those of that loop: at most 4 MiB each, never past the announced
// total, with the cancel flag tested before and after every read.
//
// On a device that requires aligned I/O every chunk is cut at a block
// boundary: what follows the last whole block is carried to the front of the
// next buffer before the next read lands behind it, so the device is given
// whole blocks from buffer memory that starts aligned.
//
// Memory is the ring: kSlots buffers of one read plus one block, whatever the
// image size, taken from the caller's pool and given back when the pipeline
// ends. The threads are joined by finish() or by the destructor on
// every path; neither touches the device. The source, the hasher and the
// counter belong to the threads from start() until they are joined. A writer
// that stops early does not wait for the source to deliver: the destructor
// wakes a read that waits on it (through `wake_source`), and the read gives
// way with what it had, so a failure is reported while the application still
// holds back its next frame.
#ifndef RAVIK_TRANSACTION_SOURCE_PIPELINE_H_
#define RAVIK_TRANSACTION_SOURCE_PIPELINE_H_

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "error/helper_error.h"
#include "io/byte_source.h"
#include "io/sha256.h"
#include "transaction/ordered_ring.h"
#include "transaction/transfer_buffer.h"

namespace ravik {

// One chunk of the image as the writer receives it.
struct SourceChunk {
  // Whole blocks (all of the chunk on a device without aligned I/O), to be
  // written now.
  std::span<const std::uint8_t> blocks;
  // Fewer than one block that wait for the next chunk (aligned I/O only).
  std::span<const std::uint8_t> remainder;
  // Source bytes consumed up to and including this chunk.
  std::uint64_t source_bytes_read = 0;
};

struct SourcePipelinePlan {
  std::uint64_t begin = 0;  // source bytes already consumed (the prefix)
  std::uint64_t total = 0;  // the image size
  std::uint64_t block_size = 0;
  bool aligned_io = false;
  std::size_t read_bytes = 0;  // the largest single source read
};

class SourcePipeline {
 public:
  static constexpr std::size_t kSlots = 4;

  // `wake_source` makes a read of `source` that waits on another thread give
  // way (the read fails with kInterrupted); it may be empty. `buffers` must
  // outlive the pipeline.
  SourcePipeline(ByteSource& source, Sha256& hasher, std::uint64_t& source_bytes_read,
                 const std::atomic<bool>& cancel_flag, std::function<void()> wake_source,
                 TransferBufferPool& buffers);
  SourcePipeline(const SourcePipeline&) = delete;
  SourcePipeline& operator=(const SourcePipeline&) = delete;
  // Stops both threads (a read in progress is woken and given up) and joins
  // them.
  ~SourcePipeline();

  // Takes the ring and starts the threads. UNKNOWN when either fails.
  Result<void> start(const SourcePipelinePlan& plan);

  // The next chunk in stream order, freeing the one handed out before; no
  // value once the source delivered the announced total. The source's
  // failure (IMAGE_MISSING, CANCELED) comes in place of the chunk it
  // prevented.
  Result<std::optional<SourceChunk>> next();

  // After the last chunk: waits until every chunk was hashed and joins the
  // threads, handing the hasher and the counter back to the caller.
  void finish();

 private:
  struct Slot {
    std::span<std::uint8_t> buffer;
    std::size_t carried = 0;  // bytes at the front taken from the chunk before
    std::size_t length = 0;   // carried plus the bytes read
    std::size_t whole = 0;    // bytes of whole blocks (all of them without aligned I/O)
    std::uint64_t source_bytes_read = 0;
  };

  void read_chunks();
  void hash_chunks();
  Result<void> read_into(Slot& slot, std::uint64_t& consumed);
  void stop_and_join();

  ByteSource& source_;
  Sha256& hasher_;
  std::uint64_t& source_bytes_read_;
  const std::atomic<bool>& cancel_flag_;
  const std::function<void()> wake_source_;
  TransferBufferPool& buffers_;
  SourcePipelinePlan plan_;
  TransferBufferPool::Loan buffers_loan_;
  std::array<Slot, kSlots> slots_;

  // The ring's consumers: the writer trails the hasher.
  static constexpr std::size_t kHasher = 0;
  static constexpr std::size_t kWriter = 1;
  OrderedRing order_{kSlots, 2};

  std::mutex read_mutex_;
  bool reading_ = false;  // the reader is inside a read of the source; under read_mutex_
  // Set under read_mutex_ on stop; also read by the source read when woken.
  std::atomic<bool> abandoned_{false};

  std::thread reader_;
  std::thread hasher_thread_;
};

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_SOURCE_PIPELINE_H_
