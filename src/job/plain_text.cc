#include "job/plain_text.h"

#include <algorithm>
#include <cstdio>

namespace ravik::job {

std::vector<std::string> format_table(const std::vector<std::vector<std::string>>& rows) {
  std::vector<std::size_t> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (std::size_t column = 0; column < row.size(); ++column) {
      widths[column] = std::max(widths[column], row[column].size());
    }
  }
  std::vector<std::string> lines;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t column = 0; column < row.size(); ++column) {
      line += row[column];
      if (column + 1 < row.size()) {
        line.append(widths[column] - row[column].size() + 2, ' ');
      }
    }
    lines.push_back(line);
  }
  return lines;
}

std::string format_time_left(std::uint64_t remaining_bytes,
                             std::uint64_t bytes_per_second) {
  if (bytes_per_second == 0) return "?";
  const std::uint64_t seconds =
      (remaining_bytes + bytes_per_second - 1) / bytes_per_second;  // round up
  char text[32];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof(text), "%llu:%02llu:%02llu",
                  static_cast<unsigned long long>(seconds / 3600),
                  static_cast<unsigned long long>(seconds / 60 % 60),
                  static_cast<unsigned long long>(seconds % 60));
  } else {
    std::snprintf(text, sizeof(text), "%llu:%02llu",
                  static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text;
}

}  // namespace ravik::job
