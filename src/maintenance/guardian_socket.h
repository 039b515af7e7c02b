// The guardian's Unix-domain socket as both ends use it: the 5-second limits
// on every exchange, and the rule a socket file must meet to be trusted.
// Thread-safe (no shared state).
#ifndef RAVIK_MAINTENANCE_GUARDIAN_SOCKET_H_
#define RAVIK_MAINTENANCE_GUARDIAN_SOCKET_H_

#include <sys/stat.h>
#include <sys/un.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "error/helper_error.h"
#include "io/byte_source.h"

namespace ravik {

inline constexpr std::chrono::seconds kGuardianExchangeLimit{5};

// Bounds each send and receive on `fd` to kGuardianExchangeLimit. Fails with
// "MAINTENANCE_UNAVAILABLE", "Could not bound installer guardian exchange:
// {error}".
Result<void> bound_exchange(int fd);

// The address of the socket at `path` for bind or connect. A path too long
// for it fails with "MAINTENANCE_UNAVAILABLE", "{context}: {ENAMETOOLONG}".
Result<sockaddr_un> guardian_socket_address(const std::string& path,
                                            std::string_view context);

// A root-owned socket with permission bits exactly 0600 and, when
// `require_one_link`, exactly one link.
bool socket_status_is_safe(const struct stat& status, bool require_one_link);

// Reads straight from a borrowed socket, one call at a time, but only until
// a deadline fixed at construction: a peer that trickles bytes cannot stretch
// an exchange beyond its limit. Past the deadline a read fails as a timed-out
// receive does (EAGAIN).
class DeadlineByteSource final : public ByteSource {
 public:
  DeadlineByteSource(int fd, std::chrono::milliseconds limit);
  IoResult<std::size_t> read(std::span<std::uint8_t> buffer) override;

 private:
  int fd_;
  std::chrono::steady_clock::time_point deadline_;
};

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_GUARDIAN_SOCKET_H_
