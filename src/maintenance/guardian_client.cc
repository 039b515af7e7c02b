#include "maintenance/guardian_client.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstring>

#include "io/fd_stream.h"
#include "io/system_descriptors.h"
#include "maintenance/guardian_socket.h"
#include "maintenance/installer_platform.h"
#include "maintenance/json_line.h"
#include "maintenance/lease_id.h"
#include "maintenance/maintenance_unavailable.h"
#include "maintenance/protocol_tag.h"
#include "maintenance/release_line.h"

namespace ravik {
namespace {

Result<UniqueFd> connect_to(const std::string& path) {
  constexpr std::string_view kContext = "Could not connect to installer guardian";
  RAVIK_ASSIGN_OR_RETURN(const sockaddr_un address,
                         guardian_socket_address(path, kContext));
  UniqueFd fd = cloexec_socket(AF_UNIX, SOCK_STREAM);
  if (!fd) return fail(maintenance_unavailable(kContext, errno));
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
      0) {
    return fail(maintenance_unavailable(kContext, errno));
  }
  return fd;
}

}  // namespace

Result<GuardianResponse> guardian_exchange(const InstallerLeaseState& state,
                                           std::string_view command) {
  struct stat status {};
  if (::lstat(state.socket_path.c_str(), &status) != 0) {
    return fail(
        maintenance_unavailable("Could not inspect installer guardian socket", errno));
  }
  if (!socket_status_is_safe(status, /*require_one_link=*/true)) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer guardian socket ownership, type, links, or permissions are "
                "unsafe.");
  }
  RAVIK_ASSIGN_OR_RETURN(const UniqueFd connection, connect_to(state.socket_path));
  RAVIK_ASSIGN_OR_RETURN(const uid_t peer, peer_effective_uid(connection.get()));
  if (peer != 0) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer guardian socket peer is not trusted.");
  }
  RAVIK_RETURN_IF_ERROR(bound_exchange(connection.get()));
  RAVIK_ASSIGN_OR_RETURN(std::string request_id, random_lease_id());
  const auto encoded = encode_guardian_request(GuardianRequest{
      .protocol = std::string(kMaintenanceProtocolTag),
      .command = std::string(command),
      .token = state.token,
      .lease_id = state.lease_id,
      .request_id = request_id,
  });
  if (!encoded) {
    return fail(codes::kMaintenanceProtocol,
                "Could not encode installer guardian request: " + encoded.error());
  }
  RAVIK_RETURN_IF_ERROR(write_line(connection.get(), *encoded,
                                   "Could not send installer guardian request"));
  DescriptorByteSource input(connection.get());
  RAVIK_ASSIGN_OR_RETURN(const std::string line, read_release_line(input));
  auto response = decode_guardian_response(line);
  if (!response) {
    return fail(codes::kMaintenanceProtocol, "Installer guardian response is invalid: " +
                                                 response.error().description);
  }
  if (response->protocol != kMaintenanceProtocolTag ||
      response->request_id != request_id) {
    return fail(codes::kMaintenanceProtocol,
                "Installer guardian response did not match the request.");
  }
  return std::move(response).value();
}

}  // namespace ravik
