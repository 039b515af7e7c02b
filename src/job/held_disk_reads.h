// The bytes of a disk held read-only by its helper, front to back: `read`
// commands of the protocol's 1 MiB bound, one at a time as the session
// requires, each answer checked against what was asked.
//
// Runs on the session's thread.
#ifndef RAVIK_JOB_HELD_DISK_READS_H_
#define RAVIK_JOB_HELD_DISK_READS_H_

#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "error/helper_error.h"
#include "job/helper_session.h"

namespace ravik::job {

// The protocol's bound on one read.
inline constexpr std::uint64_t kMaxReadBytes = 1024 * 1024;

// Takes the next bytes of the disk, in order; an error stops the reading.
using HeldBytesSink = std::function<Result<void>(std::span<const std::uint8_t>)>;

// Reads bytes 0 to `size`-1 of the held disk into `take`, its reads named
// `pass` and a number (operation IDs are never reused in a session). True
// when every byte was read and taken; otherwise the session's outcome says
// why, and every read already asked for has been answered (unless the
// helper ended).
bool read_held_disk(HeldSession& session, std::uint64_t size, const HeldBytesSink& take,
                    std::string_view pass = "read");

}  // namespace ravik::job

#endif  // RAVIK_JOB_HELD_DISK_READS_H_
