// The client's capacity check: the helper's destructive probe of a disk in a
// format-only session (`probeCapacity`), and what it found told in words: how
// much of the disk is real, and whether what lies beyond wraps around onto
// its start, vanishes, or comes back altered.
//
// Not thread-safe: one job per process.
#ifndef RAVIK_JOB_CAPACITY_CHECK_H_
#define RAVIK_JOB_CAPACITY_CHECK_H_

#include <cstdint>
#include <optional>
#include <string>

#include "error/helper_error.h"
#include "job/job_options.h"
#include "job/wire.h"
#include "job/write_job.h"

namespace ravik::job {

enum class CapacityVerdict { kGenuine, kWrapAround, kDroppedWrites, kCorrupted };

// The `capacityProbed` event, checked for sense.
struct CapacityFinding {
  std::uint64_t reported_bytes = 0;
  std::uint64_t verified_bytes = 0;  // every probed block below read back as written
  CapacityVerdict verdict = CapacityVerdict::kGenuine;
  std::uint64_t blocks_probed = 0;
  std::optional<std::uint64_t> first_bad_offset;  // absent when genuine
  std::optional<std::uint64_t> wraps_to_offset;   // only for wrap-around
};

// The finding of a `capacityProbed` event; refused when a member is missing,
// unknown or contradicts another (verified beyond reported, a bad offset on
// a genuine disk or none on another, a wrap target without a wrap-around).
Result<CapacityFinding> parse_capacity_probed(const HelperEvent& event);

// The finding in words, naming `device`: how much of it is real, what
// happens beyond, and what to do about it.
std::string capacity_words(const CapacityFinding& finding, const std::string& device);

// check DISK, or the check before write --check of every target: the probe
// of each disk in turn. Returns 0 when every disk is all real; 1 after a
// line naming each that is not, or the failure.
int run_check_job(const JobOptions& options, const std::string& client_path,
                  JobObserver& observer);

}  // namespace ravik::job

#endif  // RAVIK_JOB_CAPACITY_CHECK_H_
