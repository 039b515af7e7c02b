#include "maintenance/lease_id.h"

#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>

#include "io/unique_fd.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {
namespace {

constexpr std::string_view kContext = "Could not generate maintenance lease ID";

}  // namespace

Result<std::string> random_lease_id() { return random_lease_id_from(kRandomSourcePath); }

Result<std::string> random_lease_id_from(const char* source_path) {
  UniqueFd source(::open(source_path, O_RDONLY | O_CLOEXEC | O_NOCTTY));
  if (!source) {
    return fail(maintenance_unavailable(kContext, errno));
  }
  std::array<std::uint8_t, kLeaseIdRandomBytes> bytes{};
  std::size_t filled = 0;
  while (filled < bytes.size()) {
    const ssize_t count =
        ::read(source.get(), bytes.data() + filled, bytes.size() - filled);
    if (count < 0) {
      if (errno == EINTR) continue;
      return fail(maintenance_unavailable(kContext, errno));
    }
    if (count == 0) {
      return fail(HelperError::io_text(codes::kMaintenanceUnavailable, kContext,
                                       "the random source ended early"));
    }
    filled += static_cast<std::size_t>(count);
  }
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0f];
  }
  return text;
}

}  // namespace ravik
