#include "maintenance/guardian_files.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "maintenance/maintenance_unavailable.h"

namespace ravik {
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

}  // namespace ravik
