#include "maintenance/installer_state.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "json/json_object_reader.h"
#include "json/strict_json.h"
#include "maintenance/installer_paths.h"
#include "maintenance/installer_platform.h"
#include "maintenance/json_line.h"
#include "maintenance/maintenance_unavailable.h"
#include "maintenance/protocol_tag.h"

namespace ravik {
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
  auto value = parse_strict_json(text);
  if (!value) return std::unexpected(std::move(value).error());
  auto reader = JsonObjectReader::open(*value, "");
  if (!reader) return std::unexpected(std::move(reader).error());
  InstallerLeaseState state;
  for (auto [key, field] :
       {std::pair{"protocol", &state.protocol}, std::pair{"token", &state.token},
        std::pair{"socketPath", &state.socket_path},
        std::pair{"leaseId", &state.lease_id}}) {
    auto text_value = reader->required_string(key);
    if (!text_value) return std::unexpected(std::move(text_value).error());
    *field = std::move(text_value).value();
  }
  auto version = reader->required_unsigned<std::uint16_t>("version");
  if (!version) return std::unexpected(std::move(version).error());
  state.version = *version;
  for (auto [key, field] : {std::pair{"ownerPid", &state.owner_pid},
                            std::pair{"guardianPid", &state.guardian_pid}}) {
    auto pid = reader->required_signed<std::int32_t>(key);
    if (!pid) return std::unexpected(std::move(pid).error());
    *field = *pid;
  }
  if (auto finished = reader->finish(); !finished) {
    return std::unexpected(std::move(finished).error());
  }
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
    const ssize_t count = ::read(fd.get(), buffer.data(), wanted);
    if (count < 0 && errno == EINTR) continue;
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
  if (!state) {
    return fail(codes::kMaintenanceProtocol,
                "Installer lease state is invalid: " + state.error().description);
  }
  RAVIK_RETURN_IF_ERROR(validate_installer_state(*state, path));
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
    if (const int error = rename_without_replacing(temporary, path); error != 0) {
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

}  // namespace ravik
