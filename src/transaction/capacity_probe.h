// The capacity probe: unmasks a counterfeit stick, one that reports more
// than it keeps and either wraps writes past its real size onto lower
// offsets or drops them. It writes self-identifying blocks (each holds its
// own offset and a per-run random tag) and reads them back past the caches.
//
// Placement: a dense run at the start (every block of its first R bytes) and
// a comb of single blocks every R bytes up to the end, with the last block,
// the power-of-two boundaries and their neighbours and pseudo-random blocks
// besides. A device that wraps at any size S (a multiple of its block size)
// stores the comb block at the first multiple of R at or past S on top of
// a dense-run block, so no wrap can miss every probe; one that drops writes
// loses that comb block. Blocks are written from the highest offset down, so
// a wrapped block is always overwritten by the lower block it aliases, and
// the higher offset is the one found holding a foreign block. The boundary
// is then narrowed to one block by bisection.
//
// Runs on the session thread with exclusive use of the device; only the
// cancel flag is shared (acquire loads).
#ifndef RAVIK_TRANSACTION_CAPACITY_PROBE_H_
#define RAVIK_TRANSACTION_CAPACITY_PROBE_H_

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "error/helper_error.h"
#include "platform/held_device_io.h"
#include "protocol/server_event.h"

namespace ravik {

// Bytes of the random tag that marks one run's blocks.
inline constexpr std::size_t kProbeTagBytes = 16;
using ProbeTag = std::array<std::uint8_t, kProbeTagBytes>;

struct CapacityProbeOutcome {
  std::uint64_t reported_bytes = 0;
  // Every probed block below this offset read back as written.
  std::uint64_t verified_bytes = 0;
  CapacityFinding finding = CapacityFinding::kGenuine;
  std::uint64_t blocks_probed = 0;
  std::optional<std::uint64_t> first_bad_offset;
  // The offset whose block was found at first_bad_offset (wrap-around only).
  std::optional<std::uint64_t> wraps_to_offset;
};

enum class ProbePhase { kWrite, kRead };

// Called after each step of either phase with the probe bytes done and the
// phase's total; its failure ends the probe.
using CapacityProbeProgress = std::function<Result<void>(
    ProbePhase phase, std::uint64_t bytes_done, std::uint64_t bytes_total)>;

// Where the blocks go, for a disk of `capacity` bytes probed in blocks of
// `block` bytes: the dense run [0, dense_bytes) and the single blocks past
// it, ascending. Pure; the pseudo-random blocks are drawn from `tag`.
struct ProbePlan {
  std::uint64_t block = 0;
  std::uint64_t dense_bytes = 0;
  std::vector<std::uint64_t> singles;
};
ProbePlan plan_capacity_probe(std::uint64_t capacity, std::uint64_t block,
                              const ProbeTag& tag);

// A fresh random tag from the system's generator (no file is opened).
ProbeTag random_probe_tag();

// Runs the probe on `device`: writes, syncs, re-proves identity, reads back,
// narrows the boundary. I/O errors name the offset at which the stick failed.
Result<CapacityProbeOutcome> run_capacity_probe(HeldDeviceIo& device,
                                                const std::atomic<bool>& cancel_flag,
                                                const ProbeTag& tag,
                                                const CapacityProbeProgress& progress);

}  // namespace ravik

#endif  // RAVIK_TRANSACTION_CAPACITY_PROBE_H_
