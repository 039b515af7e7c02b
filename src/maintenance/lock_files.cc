#include "maintenance/lock_files.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>

#include "maintenance/maintenance_unavailable.h"

namespace ravik {
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
  if (::mkdirat(base_fd, name.c_str(), kDirectoryMode) != 0 && errno != EEXIST) {
    return fail(maintenance_unavailable("Could not create maintenance directory", errno));
  }
  fd.reset(::openat(base_fd, name.c_str(), kDirectoryFlags));
  if (!fd) return fail(maintenance_unavailable(kOpenLockDirectory, errno));
  // mkdirat applied the umask; the directory must be 0755 regardless.
  if (::fchmod(fd.get(), kDirectoryMode) != 0) {
    return fail(maintenance_unavailable("Could not set maintenance directory permissions",
                                        errno));
  }
  return fd;
}

Result<OpenedLockFile> open_lock_file(int directory_fd, const std::string& name,
                                      bool create_allowed, uid_t effective_uid) {
  if (create_allowed && effective_uid == 0) {
    UniqueFd created(::openat(directory_fd, name.c_str(),
                              kLockFileFlags | O_CREAT | O_EXCL, kLockFileMode));
    if (created) return OpenedLockFile{std::move(created), true};
    if (errno != EEXIST) {
      return fail(maintenance_unavailable("Could not create maintenance lock", errno));
    }
  }
  UniqueFd existing(::openat(directory_fd, name.c_str(), kLockFileFlags));
  if (existing) return OpenedLockFile{std::move(existing), false};
  const int open_error = errno;
  if (create_allowed && effective_uid != 0 && open_error == ENOENT) {
    return fail(codes::kMaintenanceUnavailable,
                "Only the elevated installed helper may provision the maintenance lock.");
  }
  return fail(maintenance_unavailable("Could not open maintenance lock", open_error));
}

Result<void> set_new_lock_permissions(int lock_fd, uid_t effective_uid) {
  if (effective_uid != 0) {
    return fail(codes::kMaintenanceUnavailable,
                "Only the elevated installed helper may provision the maintenance lock.");
  }
  // The exclusive create applied the umask; every holder needs 0666.
  if (::fchmod(lock_fd, kLockFileMode) != 0) {
    return fail(
        maintenance_unavailable("Could not set maintenance lock permissions", errno));
  }
  return {};
}

}  // namespace ravik
