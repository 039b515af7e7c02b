#include "maintenance/release_line.h"

#include <cstdint>

namespace ravik {
namespace {

constexpr std::size_t kInitialCapacity = 256;

}  // namespace

Result<std::string> read_release_line(ByteSource& source) {
  std::string line;
  line.reserve(kInitialCapacity);
  while (true) {
    std::uint8_t byte = 0;
    const IoResult<std::size_t> count = source.read(std::span(&byte, 1));
    if (!count) {
      return fail(HelperError::io_text(codes::kMaintenanceProtocol,
                                       "Could not read release request",
                                       count.error().describe()));
    }
    if (*count == 0 || byte == '\n') {
      if (line.empty()) {
        return fail(codes::kMaintenanceProtocol,
                    "Maintenance lease input ended before a release request.");
      }
      return line;
    }
    if (byte == '\r') {
      return fail(codes::kMaintenanceProtocol,
                  "Maintenance release request contains an invalid line break.");
    }
    if (line.size() == kMaxReleaseLineBytes) {
      return fail(codes::kMaintenanceProtocol,
                  "Maintenance release request exceeds 16 KiB.");
    }
    line.push_back(static_cast<char>(byte));
  }
}

}  // namespace ravik
