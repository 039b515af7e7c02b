#include "maintenance/lock_file_rules.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "io/unique_fd.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {
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

}  // namespace ravik
