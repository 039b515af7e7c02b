// Figures and tables set out for a person to read, in a fixed-width font.
//
// Pure functions; thread-safe.
#ifndef RAVIK_JOB_PLAIN_TEXT_H_
#define RAVIK_JOB_PLAIN_TEXT_H_

#include <cstdint>
#include <string>
#include <vector>

namespace ravik::job {

// Rows as lines, each column padded to its widest cell, two spaces apart
// (the last not padded). `rows` holds at least the header row.
std::vector<std::string> format_table(const std::vector<std::vector<std::string>>& rows);
// "0:07", "1:02:03"; "?" when the rate is 0.
std::string format_time_left(std::uint64_t remaining_bytes,
                             std::uint64_t bytes_per_second);

}  // namespace ravik::job

#endif  // RAVIK_JOB_PLAIN_TEXT_H_
