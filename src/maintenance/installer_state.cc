#include "maintenance/installer_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <nlohmann/json.hpp>
#include <utility>
#include <vector>

#include "io/eintr.h"
#include "json/strict_json.h"
#include "maintenance/installer_platform.h"
#include "maintenance/maintenance_protocol.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {

namespace {

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> parts;
  if (path.starts_with('/')) parts.push_back("/");
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (!part.empty() && (part != "." || parts.empty())) parts.push_back(part);
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

}  // namespace

std::string installer_lease_state_path(const MaintenanceLocation& location) {
  return location.directory_path() + "/" + std::string(kInstallerLeaseStateFileName);
}

std::optional<std::string> parent_directory(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  const std::size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || path == "/") return std::nullopt;
  std::string_view parent = path.substr(0, slash);
  while (parent.size() > 1 && parent.ends_with('/')) parent.remove_suffix(1);
  return std::string(parent.empty() ? "/" : parent);
}

std::optional<std::string> installer_socket_path(std::string_view lease_state_path) {
  std::optional<std::string> parent = parent_directory(lease_state_path);
  if (!parent) return std::nullopt;
  if (!parent->ends_with('/')) *parent += '/';
  *parent += kInstallerSocketFileName;
  return parent;
}

bool names_same_path(std::string_view given, std::string_view canonical) {
  return components(given) == components(canonical);
}

namespace {

constexpr mode_t kStateMode = 0600;
constexpr std::string_view kNoProtectedParent =
    "Installer lease-state path has no protected parent.";

bool file_state_is_safe(const struct stat& status) {
  return S_ISREG(status.st_mode) && status.st_uid == 0 &&
         (status.st_mode & 0777) == kStateMode && status.st_nlink == 1;
}

}  // namespace

bool is_lower_hex_id(std::string_view text) {
  return text.size() == 64 &&
         text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

std::expected<std::string, std::string> encode_installer_state(
    const InstallerLeaseState& state) {
  nlohmann::ordered_json object;
  object["protocol"] = state.protocol;
  object["version"] = state.version;
  object["token"] = state.token;
  object["socketPath"] = state.socket_path;
  object["leaseId"] = state.lease_id;
  object["ownerPid"] = state.owner_pid;
  object["guardianPid"] = state.guardian_pid;
  return encode_compact(object);
}

DecodeResult<InstallerLeaseState> decode_installer_state(std::string_view text) {
  InstallerLeaseState state;
  auto decoded = decode_record(text, {{"protocol", &state.protocol},
                                      {"token", &state.token},
                                      {"socketPath", &state.socket_path},
                                      {"leaseId", &state.lease_id},
                                      {"version", &state.version},
                                      {"ownerPid", &state.owner_pid},
                                      {"guardianPid", &state.guardian_pid}});
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return state;
}

Result<std::optional<InstallerLeaseState>> load_installer_state(
    const std::string& path, UnfinishedState unfinished) {
  // O_NONBLOCK and O_NOCTTY: a FIFO or a terminal planted at the path must
  // neither block the open nor become a controlling terminal before the
  // type check refuses it.
  UniqueFd fd(
      ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
  if (!fd) {
    if (errno == ENOENT) return std::optional<InstallerLeaseState>();
    return fail(maintenance_unavailable("Could not open installer lease state", errno));
  }
  struct stat status {};
  if (::fstat(fd.get(), &status) != 0) {
    return fail(
        maintenance_unavailable("Could not inspect installer lease state", errno));
  }
  const bool stale_allowed = unfinished == UnfinishedState::kStale;
  if (file_state_is_safe(status) && status.st_size == 0 && stale_allowed) {
    return std::optional<InstallerLeaseState>();
  }
  if (!file_state_is_safe(status) || status.st_size < 1 ||
      status.st_size > static_cast<off_t>(kMaxInstallerStateBytes)) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer lease state ownership, type, links, size, or permissions are "
                "unsafe.");
  }
  std::string bytes;
  std::array<char, 4096> buffer{};
  while (bytes.size() <= kMaxInstallerStateBytes) {
    const std::size_t wanted =
        std::min(buffer.size(), kMaxInstallerStateBytes + 1 - bytes.size());
    const ssize_t count =
        retry_on_eintr([&] { return ::read(fd.get(), buffer.data(), wanted); });
    if (count < 0)
      return fail(maintenance_unavailable("Could not read installer lease state", errno));
    if (count == 0) break;
    bytes.append(buffer.data(), static_cast<std::size_t>(count));
  }
  fd.reset();
  if (bytes.size() > kMaxInstallerStateBytes) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer lease state grew beyond the safety bound while it was read.");
  }
  if (stale_allowed && !parse_strict_json(bytes)) {
    return std::optional<InstallerLeaseState>();
  }
  auto state = decode_installer_state(bytes);
  Result<void> valid =
      state ? validate_installer_state(*state, path)
            : fail(codes::kMaintenanceProtocol,
                   "Installer lease state is invalid: " + state.error().description);
  if (!valid) {
    // A record that parses but does not validate (a newer helper's extra
    // member, an impossible owner) is served by no guardian this helper
    // could reach: as stale as a torn file. A path without a protected
    // parent stays an error whatever the content.
    if (stale_allowed && parent_directory(path)) {
      return std::optional<InstallerLeaseState>();
    }
    return fail(std::move(valid).error());
  }
  return std::optional<InstallerLeaseState>(std::move(state).value());
}

Result<void> validate_installer_state(const InstallerLeaseState& state,
                                      const std::string& path) {
  const std::optional<std::string> socket_path = installer_socket_path(path);
  if (!socket_path)
    return fail(codes::kMaintenanceProtocol, std::string(kNoProtectedParent));
  const bool valid = state.protocol == kMaintenanceProtocolTag &&
                     state.version == kInstallerStateVersion &&
                     is_lower_hex_id(state.token) && is_lower_hex_id(state.lease_id) &&
                     state.socket_path == *socket_path && state.owner_pid >= 2 &&
                     state.guardian_pid >= 2;
  if (!valid) {
    return fail(codes::kMaintenanceProtocol, "Installer lease state failed validation.");
  }
  return {};
}

std::string installer_state_temporary_path(const std::string& path) {
  return path + ".new";
}

Result<FileIdentity> create_installer_state(const std::string& path,
                                            const InstallerLeaseState& state) {
  const std::string temporary = installer_state_temporary_path(path);
  UniqueFd fd(::open(temporary.c_str(),
                     O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kStateMode));
  if (!fd)
    return fail(maintenance_unavailable("Could not create installer lease state", errno));
  // Created exclusively above, so the name is ours until the rename; a
  // failure removes it, and a crash leaves it for the next guardian.
  auto written = [&]() -> Result<FileIdentity> {
    constexpr std::string_view kPersist = "Could not persist installer lease state";
    if (::fchmod(fd.get(), kStateMode) != 0)
      return fail(maintenance_unavailable(kPersist, errno));
    auto encoded = encode_installer_state(state);
    if (!encoded) {
      return fail(HelperError::io_text(codes::kMaintenanceUnavailable, kPersist,
                                       encoded.error()));
    }
    RAVIK_RETURN_IF_ERROR(write_line(fd.get(), *encoded, kPersist));
    RAVIK_RETURN_IF_ERROR(sync_to_storage(fd.get(), kPersist));
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) {
      return fail(
          maintenance_unavailable("Could not verify installer lease state", errno));
    }
    if (!file_state_is_safe(status)) {
      return fail(codes::kMaintenanceUnavailable,
                  "New installer lease state did not retain safe ownership and "
                  "permissions.");
    }
    if (const int error = rename_without_replacing(AT_FDCWD, temporary, path);
        error != 0) {
      return fail(
          maintenance_unavailable("Could not create installer lease state", error));
    }
    return FileIdentity{.device = status.st_dev, .inode = status.st_ino};
  }();
  if (!written) {
    ::unlink(temporary.c_str());
    return written;
  }
  if (auto synced = sync_parent(path); !synced) {
    // Complete but not known to be durable: a lease nobody was told of.
    ::unlink(path.c_str());
    return fail(synced.error());
  }
  return written;
}

Result<void> sync_parent(const std::string& path) {
  const std::optional<std::string> parent = parent_directory(path);
  if (!parent) return fail(codes::kMaintenanceProtocol, "Protected path has no parent.");
  constexpr std::string_view kContext =
      "Could not synchronize protected maintenance state";
  UniqueFd fd(::open(parent->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) return fail(maintenance_unavailable(kContext, errno));
  return sync_to_storage(fd.get(), kContext);
}

namespace {

bool has_expected_type(const struct stat& status, bool socket_expected) {
  return socket_expected ? S_ISSOCK(status.st_mode) : S_ISREG(status.st_mode);
}

}  // namespace

Result<void> remove_stale_installer_path(const std::string& path, bool socket_expected) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    if (errno == ENOENT) return {};
    return fail(
        maintenance_unavailable("Could not inspect stale installer state", errno));
  }
  const bool removable =
      status.st_uid == 0 && status.st_nlink == 1 &&
      (S_ISREG(status.st_mode) || (socket_expected && S_ISSOCK(status.st_mode)));
  if (!removable) {
    return fail(codes::kMaintenanceUnavailable,
                "Refused to replace unsafe installer maintenance state.");
  }
  if (::unlink(path.c_str()) != 0) {
    return fail(maintenance_unavailable(
        "Could not remove stale installer maintenance state", errno));
  }
  return sync_parent(path);
}

Result<void> remove_installer_path_exact(const std::string& path, FileIdentity identity,
                                         bool socket_expected) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) {
    return fail(
        maintenance_unavailable("Could not revalidate installer guardian path", errno));
  }
  const bool same = status.st_uid == 0 && status.st_nlink == 1 &&
                    FileIdentity{status.st_dev, status.st_ino} == identity &&
                    has_expected_type(status, socket_expected);
  if (!same) {
    return fail(codes::kMaintenanceUnavailable,
                "Installer guardian path identity changed while the lease was held.");
  }
  if (::unlink(path.c_str()) != 0) {
    return fail(
        maintenance_unavailable("Could not remove installer guardian path", errno));
  }
  return sync_parent(path);
}

std::expected<std::string, std::string> encode_guardian_ready(
    const GuardianReady& ready) {
  nlohmann::ordered_json object;
  object["ok"] = ready.ok;
  object["code"] = ready.code;
  object["message"] = ready.message;
  object["leaseId"] = ready.lease_id;
  object["ownerPid"] = ready.owner_pid;
  object["guardianPid"] = ready.guardian_pid;
  return encode_compact(object);
}

std::expected<std::string, std::string> encode_guardian_request(
    const GuardianRequest& request) {
  nlohmann::ordered_json object;
  object["protocol"] = request.protocol;
  object["command"] = request.command;
  object["token"] = request.token;
  object["leaseId"] = request.lease_id;
  object["requestId"] = request.request_id;
  return encode_compact(object);
}

std::expected<std::string, std::string> encode_guardian_response(
    const GuardianResponse& response) {
  nlohmann::ordered_json object;
  object["protocol"] = response.protocol;
  object["status"] = response.status;
  object["requestId"] = response.request_id;
  object["leaseId"] = response.lease_id;
  object["ownerPid"] = response.owner_pid;
  object["guardianPid"] = response.guardian_pid;
  return encode_compact(object);
}

DecodeResult<GuardianReady> decode_guardian_ready(std::string_view line) {
  GuardianReady ready;
  auto decoded = decode_record(line, {{"ok", &ready.ok},
                                      {"code", &ready.code},
                                      {"message", &ready.message},
                                      {"leaseId", &ready.lease_id},
                                      {"ownerPid", &ready.owner_pid},
                                      {"guardianPid", &ready.guardian_pid}});
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return ready;
}

DecodeResult<GuardianRequest> decode_guardian_request(std::string_view line) {
  GuardianRequest request;
  auto decoded = decode_record(line, {{"protocol", &request.protocol},
                                      {"command", &request.command},
                                      {"token", &request.token},
                                      {"leaseId", &request.lease_id},
                                      {"requestId", &request.request_id}});
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return request;
}

DecodeResult<GuardianResponse> decode_guardian_response(std::string_view line) {
  GuardianResponse response;
  auto decoded = decode_record(line, {{"protocol", &response.protocol},
                                      {"status", &response.status},
                                      {"requestId", &response.request_id},
                                      {"leaseId", &response.lease_id},
                                      {"ownerPid", &response.owner_pid},
                                      {"guardianPid", &response.guardian_pid}});
  if (!decoded) return std::unexpected(std::move(decoded).error());
  return response;
}

std::string readiness_message(std::string_view message) {
  std::string result;
  result.reserve(std::min(message.size(), kMaxReadinessMessageBytes));
  std::size_t at = 0;
  while (at < message.size()) {
    // One character: a lead byte and its continuation bytes (10xxxxxx).
    std::size_t end = at + 1;
    while (end < message.size() &&
           (static_cast<unsigned char>(message[end]) & 0xC0) == 0x80) {
      ++end;
    }
    if (result.size() + (end - at) > kMaxReadinessMessageBytes) break;
    const char first = message[at];
    if (first == '\0' || first == '\n' || first == '\r') {
      result += ' ';
    } else {
      result.append(message.substr(at, end - at));
    }
    at = end;
  }
  return result;
}

}  // namespace ravik
