#include "maintenance/maintenance_lock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <optional>
#include <string>

#include "error/hex.h"
#include "io/eintr.h"
#include "io/unique_fd.h"
#include "maintenance/installer_platform.h"
#include "maintenance/maintenance_protocol.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {

std::string MaintenanceLocation::directory_path() const {
  std::string path = base_directory;
  if (path.empty() || path.back() != '/') path += '/';
  path += directory_name;
  return path;
}

std::string MaintenanceLocation::lock_path() const {
  return directory_path() + "/" + lock_file_name;
}

std::string_view maintenance_mode_name(MaintenanceMode mode) {
  return mode == MaintenanceMode::kShared ? "shared" : "exclusive";
}

std::optional<MaintenanceMode> parse_maintenance_mode(std::string_view text) {
  if (text == "shared") return MaintenanceMode::kShared;
  if (text == "exclusive") return MaintenanceMode::kExclusive;
  return std::nullopt;
}

Result<void> poll_lock_attempts(MaintenanceTimeout timeout,
                                const std::function<Result<FlockAttempt>()>& attempt,
                                int abandon_fd) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  // Compared in nanoseconds; a timeout too long for that never expires,
  // which cannot happen for the at most one hour the callers allow.
  const auto limit =
      timeout.count() > static_cast<std::uint64_t>(
                            std::chrono::nanoseconds::max().count() / 1'000'000)
          ? std::chrono::nanoseconds::max()
          : std::chrono::duration_cast<std::chrono::nanoseconds>(
                std::chrono::milliseconds(static_cast<std::int64_t>(timeout.count())));
  while (true) {
    RAVIK_ASSIGN_OR_RETURN(const FlockAttempt outcome, attempt());
    if (outcome == FlockAttempt::kAcquired) return {};
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    if (elapsed >= limit) {
      return fail(codes::kMaintenanceBusy,
                  "System maintenance is active; the maintenance lock timed out.");
    }
    // poll() sleeps like a timer when `abandon_fd` is negative, and reports
    // an error or hang-up on it even though no event was asked for.
    const auto pause = std::chrono::ceil<std::chrono::milliseconds>(
        std::min<std::chrono::nanoseconds>(limit - elapsed, kFlockPollInterval));
    pollfd entry{.fd = abandon_fd, .events = 0, .revents = 0};
    if (::poll(&entry, 1, static_cast<int>(pause.count())) > 0 &&
        (entry.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
      return fail(codes::kMaintenanceUnavailable,
                  "The maintenance lock wait was abandoned by its caller.");
    }
  }
}

Result<FlockAttempt> try_flock(int fd, MaintenanceMode mode) {
  const int operation = mode == MaintenanceMode::kShared ? LOCK_SH : LOCK_EX;
  if (::flock(fd, operation | LOCK_NB) == 0) return FlockAttempt::kAcquired;
  if (errno == EWOULDBLOCK) return FlockAttempt::kWouldBlock;
  return fail(maintenance_unavailable("Could not acquire maintenance lock", errno));
}

Result<void> acquire_flock(int fd, MaintenanceMode mode, MaintenanceTimeout timeout,
                           int abandon_fd) {
  return poll_lock_attempts(
      timeout, [fd, mode] { return try_flock(fd, mode); }, abandon_fd);
}

namespace {

constexpr mode_t kPermissionBits = 0777;

}  // namespace

bool directory_status_is_safe(const struct stat& status) {
  return S_ISDIR(status.st_mode) && status.st_nlink != 0 &&
         (status.st_mode & 0022) == 0 && (status.st_mode & 0755) == 0755 &&
         status.st_uid == 0;
}

bool lock_file_status_is_safe(const struct stat& status) {
  return S_ISREG(status.st_mode) && (status.st_mode & kPermissionBits) == 0666 &&
         status.st_nlink == 1 && status.st_uid == 0;
}

Result<void> validate_directory(int directory_fd) {
  // The status is read through a duplicate, so the caller's descriptor is
  // only ever used for the lookups that follow.
  UniqueFd duplicate(::fcntl(directory_fd, F_DUPFD_CLOEXEC, 0));
  if (!duplicate) {
    return fail(maintenance_unavailable("Could not clone maintenance directory", errno));
  }
  struct stat status {};
  if (::fstat(duplicate.get(), &status) != 0) {
    return fail(
        maintenance_unavailable("Could not inspect maintenance directory", errno));
  }
  if (!directory_status_is_safe(status)) {
    return fail(codes::kMaintenanceUnavailable,
                "Maintenance directory ownership or permissions are unsafe.");
  }
  return {};
}

Result<void> validate_lock_file(int lock_fd) {
  struct stat status {};
  if (::fstat(lock_fd, &status) != 0) {
    return fail(maintenance_unavailable("Could not inspect maintenance lock", errno));
  }
  if (!lock_file_status_is_safe(status)) {
    return fail(codes::kMaintenanceUnavailable,
                "Maintenance lock ownership, type, link count, or permissions are "
                "unsafe.");
  }
  return {};
}

namespace {

constexpr int kDirectoryFlags = O_RDONLY | O_NOFOLLOW | O_DIRECTORY | O_CLOEXEC;
// O_NONBLOCK and O_NOCTTY because the file's type is known only after the
// open: a FIFO or terminal in its place must neither block nor become the
// controlling terminal before the check refuses it. Neither affects flock.
constexpr int kLockFileFlags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK | O_NOCTTY;
constexpr mode_t kDirectoryMode = 0755;
constexpr mode_t kLockFileMode = 0666;

constexpr std::string_view kOpenLockDirectory =
    "Could not open maintenance lock directory";

// One entry of the lock's tree as it is first made.
struct NewEntry {
  bool directory;
  mode_t mode;
  std::string_view create_context;
  std::string_view mode_context;
};

constexpr NewEntry kNewDirectory{
    .directory = true,
    .mode = kDirectoryMode,
    .create_context = "Could not create maintenance directory",
    .mode_context = "Could not set maintenance directory permissions"};
constexpr NewEntry kNewLockFile{
    .directory = false,
    .mode = kLockFileMode,
    .create_context = "Could not create maintenance lock",
    .mode_context = "Could not set maintenance lock permissions"};

// Makes `name` below `parent_fd` under a private name, gives it its mode
// whatever the umask, and only then renames it into place, so a process
// opening `name` at the same moment never finds it half made. Empty when
// another process published `name` first; the private copy is removed then,
// as on failure.
Result<std::optional<UniqueFd>> create_published(int parent_fd, const std::string& name,
                                                 const NewEntry& entry) {
  // Only root writes in these directories, so an entry under the private
  // name is what a creator with this process ID left when it died.
  const std::string private_name = name + ".new." + std::to_string(::getpid());
  const int remove_flags = entry.directory ? AT_REMOVEDIR : 0;
  const auto remove_private = [&] {
    ::unlinkat(parent_fd, private_name.c_str(), remove_flags);
  };
  remove_private();
  UniqueFd created;
  if (!entry.directory) {
    created.reset(::openat(parent_fd, private_name.c_str(),
                           kLockFileFlags | O_CREAT | O_EXCL, 0600));
  } else if (::mkdirat(parent_fd, private_name.c_str(), 0700) == 0) {
    created.reset(::openat(parent_fd, private_name.c_str(), kDirectoryFlags));
  }
  if (!created) {
    const int error = errno;
    remove_private();
    return fail(maintenance_unavailable(entry.create_context, error));
  }
  if (::fchmod(created.get(), entry.mode) != 0) {
    const int error = errno;
    remove_private();
    return fail(maintenance_unavailable(entry.mode_context, error));
  }
  const int error = rename_without_replacing(parent_fd, private_name, name);
  if (error == 0) return std::optional<UniqueFd>(std::move(created));
  remove_private();
  if (error != EEXIST) return fail(maintenance_unavailable(entry.create_context, error));
  return std::optional<UniqueFd>();
}

}  // namespace

Result<UniqueFd> open_base_directory(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), kDirectoryFlags));
  if (!fd)
    return fail(maintenance_unavailable("Could not open maintenance directory", errno));
  return fd;
}

Result<UniqueFd> open_or_create_child_directory(int base_fd, const std::string& name,
                                                bool create_allowed,
                                                uid_t effective_uid) {
  UniqueFd fd(::openat(base_fd, name.c_str(), kDirectoryFlags));
  if (fd) return fd;
  const int open_error = errno;
  if (!create_allowed || open_error != ENOENT) {
    return fail(maintenance_unavailable(kOpenLockDirectory, open_error));
  }
  if (effective_uid != 0) {
    return fail(codes::kMaintenanceUnavailable,
                "Only the elevated installed helper may provision the maintenance "
                "directory.");
  }
  RAVIK_ASSIGN_OR_RETURN(std::optional<UniqueFd> created,
                         create_published(base_fd, name, kNewDirectory));
  if (created) return std::move(*created);
  fd.reset(::openat(base_fd, name.c_str(), kDirectoryFlags));
  if (!fd) return fail(maintenance_unavailable(kOpenLockDirectory, errno));
  return fd;
}

Result<UniqueFd> open_lock_file(int directory_fd, const std::string& name,
                                bool create_allowed, uid_t effective_uid) {
  UniqueFd existing(::openat(directory_fd, name.c_str(), kLockFileFlags));
  if (existing) return existing;
  const int open_error = errno;
  if (!create_allowed || open_error != ENOENT) {
    return fail(maintenance_unavailable("Could not open maintenance lock", open_error));
  }
  if (effective_uid != 0) {
    return fail(codes::kMaintenanceUnavailable,
                "Only the elevated installed helper may provision the maintenance lock.");
  }
  RAVIK_ASSIGN_OR_RETURN(std::optional<UniqueFd> created,
                         create_published(directory_fd, name, kNewLockFile));
  if (created) return std::move(*created);
  existing.reset(::openat(directory_fd, name.c_str(), kLockFileFlags));
  if (existing) return existing;
  return fail(maintenance_unavailable("Could not open maintenance lock", errno));
}

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
    const ssize_t count = retry_on_eintr([&] {
      return ::read(source.get(), bytes.data() + filled, bytes.size() - filled);
    });
    if (count < 0) return fail(maintenance_unavailable(kContext, errno));
    if (count == 0) {
      return fail(HelperError::io_text(codes::kMaintenanceUnavailable, kContext,
                                       "the random source ended early"));
    }
    filled += static_cast<std::size_t>(count);
  }
  return lower_hex(bytes);
}

namespace {

bool is_plain_component(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos &&
         name.find('\0') == std::string_view::npos;
}

Result<void> check_location(const MaintenanceLocation& location) {
  if (!is_plain_component(location.lock_file_name) ||
      !is_plain_component(location.directory_name)) {
    return fail(codes::kMaintenanceProtocol, "Invalid maintenance lock path component.");
  }
  return {};
}

Result<void> check_base_directory_text(const MaintenanceLocation& location) {
  if (location.base_directory.find('\0') != std::string::npos) {
    return fail(codes::kMaintenanceUnavailable, "Maintenance directory contains NUL.");
  }
  return {};
}

// Steps that only find and check existing state. Without the right to
// create, whatever is missing or unsafe means the installer has not (or not
// correctly) provisioned the machine, and that is all the caller is told.
template <class T>
Result<T> classify_setup_error(Result<T> result, bool create_allowed) {
  if (result || create_allowed ||
      result.error().code() != codes::kMaintenanceUnavailable) {
    return result;
  }
  return fail(codes::kMaintenanceProvisioningRequired,
              std::string(kProvisioningRequiredMessage));
}

// Base directory, protected directory and lock file, each opened relative
// to the checked directory above it. The directory descriptors are closed
// on return.
Result<UniqueFd> open_checked_lock_file(const MaintenanceLocation& location,
                                        bool create_allowed, uid_t effective_uid) {
  RAVIK_RETURN_IF_ERROR(check_base_directory_text(location));
  RAVIK_ASSIGN_OR_RETURN(UniqueFd base, open_base_directory(location.base_directory));
  RAVIK_RETURN_IF_ERROR(validate_directory(base.get()));
  RAVIK_ASSIGN_OR_RETURN(UniqueFd directory, open_or_create_child_directory(
                                                 base.get(), location.directory_name,
                                                 create_allowed, effective_uid));
  RAVIK_RETURN_IF_ERROR(validate_directory(directory.get()));
  return open_lock_file(directory.get(), location.lock_file_name, create_allowed,
                        effective_uid);
}

}  // namespace

Result<MaintenanceLock> MaintenanceLock::acquire_default(
    const MaintenanceLocation& location, MaintenanceMode mode, MaintenanceTimeout timeout,
    bool create_allowed, int abandon_fd) {
  return acquire_as(location, mode, timeout, create_allowed, ::geteuid(), abandon_fd);
}

Result<MaintenanceLock> MaintenanceLock::acquire_as(const MaintenanceLocation& location,
                                                    MaintenanceMode mode,
                                                    MaintenanceTimeout timeout,
                                                    bool create_allowed,
                                                    uid_t effective_uid, int abandon_fd) {
  if (timeout > kMaximumMaintenanceTimeout) {
    return fail(codes::kMaintenanceProtocol, "Maintenance timeout exceeds one hour.");
  }
  RAVIK_RETURN_IF_ERROR(check_location(location));
  RAVIK_ASSIGN_OR_RETURN(
      UniqueFd lock_file,
      classify_setup_error(
          open_checked_lock_file(location, create_allowed, effective_uid),
          create_allowed));
  RAVIK_RETURN_IF_ERROR(
      classify_setup_error(validate_lock_file(lock_file.get()), create_allowed));
  RAVIK_RETURN_IF_ERROR(acquire_flock(lock_file.get(), mode, timeout, abandon_fd));
  RAVIK_ASSIGN_OR_RETURN(std::string lease_id, random_lease_id());
  return MaintenanceLock(std::move(lease_id), location.lock_path(), std::move(lock_file),
                         mode);
}

Result<void> MaintenanceLock::unlock() && {
  UniqueFd descriptor = std::move(descriptor_);
  if (::flock(descriptor.get(), LOCK_UN) != 0) {
    return fail(maintenance_unavailable("Could not release the maintenance lock", errno));
  }
  return {};
}

Result<MaintenanceLock> acquire_process_lock(const MaintenanceLocation& location,
                                             MaintenanceMode mode,
                                             MaintenanceTimeout timeout,
                                             bool provisioning_permitted) {
  const bool create_allowed = provisioning_permitted && ::geteuid() == 0;
  return MaintenanceLock::acquire_default(location, mode, timeout, create_allowed);
}

Result<std::string> provisioned_line(const std::string& lock_path) {
  nlohmann::ordered_json object;
  object["path"] = lock_path;
  object["protocol"] = kMaintenanceProtocolTag;
  object["status"] = "provisioned";
  auto encoded = encode_compact(object);
  if (!encoded) {
    return fail(codes::kMaintenanceUnavailable,
                "Could not encode maintenance provisioning status: " + encoded.error());
  }
  return std::move(encoded).value();
}

Result<void> provision_maintenance(const MaintenanceLocation& location, int output_fd) {
  if (::geteuid() != 0) {
    return fail(codes::kMaintenanceProvisioningRequired,
                "Maintenance provisioning requires the installed elevated helper.");
  }
  RAVIK_ASSIGN_OR_RETURN(MaintenanceLock lock,
                         MaintenanceLock::acquire_default(
                             location, MaintenanceMode::kShared,
                             MaintenanceTimeout::zero(), /*create_allowed=*/true));
  RAVIK_ASSIGN_OR_RETURN(const std::string line, provisioned_line(lock.lock_path()));
  RAVIK_RETURN_IF_ERROR(std::move(lock).unlock());
  return write_line(output_fd, line, "Could not write maintenance provisioning status");
}

}  // namespace ravik
