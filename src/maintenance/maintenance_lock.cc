#include "maintenance/maintenance_lock.h"

#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "maintenance/lease_id.h"
#include "maintenance/lock_file_rules.h"
#include "maintenance/lock_files.h"
#include "maintenance/maintenance_unavailable.h"

namespace ravik {
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

struct CheckedLockFile {
  UniqueFd fd;
  bool newly_created = false;
};

// Base directory, protected directory and lock file, each opened relative
// to the checked directory above it. The directory descriptors are closed
// on return.
Result<CheckedLockFile> open_checked_lock_file(const MaintenanceLocation& location,
                                               bool create_allowed, uid_t effective_uid) {
  RAVIK_RETURN_IF_ERROR(check_base_directory_text(location));
  RAVIK_ASSIGN_OR_RETURN(UniqueFd base, open_base_directory(location.base_directory));
  RAVIK_RETURN_IF_ERROR(validate_directory(base.get()));
  RAVIK_ASSIGN_OR_RETURN(UniqueFd directory, open_or_create_child_directory(
                                                 base.get(), location.directory_name,
                                                 create_allowed, effective_uid));
  RAVIK_RETURN_IF_ERROR(validate_directory(directory.get()));
  RAVIK_ASSIGN_OR_RETURN(OpenedLockFile opened,
                         open_lock_file(directory.get(), location.lock_file_name,
                                        create_allowed, effective_uid));
  return CheckedLockFile{std::move(opened.fd), opened.newly_created};
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
      CheckedLockFile lock_file,
      classify_setup_error(
          open_checked_lock_file(location, create_allowed, effective_uid),
          create_allowed));
  if (lock_file.newly_created) {
    RAVIK_RETURN_IF_ERROR(set_new_lock_permissions(lock_file.fd.get(), effective_uid));
  }
  RAVIK_RETURN_IF_ERROR(
      classify_setup_error(validate_lock_file(lock_file.fd.get()), create_allowed));
  RAVIK_RETURN_IF_ERROR(acquire_flock(lock_file.fd.get(), mode, timeout, abandon_fd));
  RAVIK_ASSIGN_OR_RETURN(std::string lease_id, random_lease_id());
  return MaintenanceLock(std::move(lease_id), location.lock_path(),
                         std::move(lock_file.fd), mode);
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

}  // namespace ravik
