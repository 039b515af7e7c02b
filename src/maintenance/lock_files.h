// Opening and, for the elevated helper, creating the maintenance directory
// and lock file. Every step works on descriptors: each name is looked up
// relative to an already checked directory descriptor, never follows a
// symbolic link, and every descriptor is close-on-exec. Thread-safe apart
// from the process umask, which these functions never change.
#ifndef RAVIK_MAINTENANCE_LOCK_FILES_H_
#define RAVIK_MAINTENANCE_LOCK_FILES_H_

#include <sys/types.h>

#include <string>

#include "error/helper_error.h"
#include "io/unique_fd.h"

namespace ravik {

// Opens the base directory by path. It is never created. Fails with
// "MAINTENANCE_UNAVAILABLE" (a symbolic link in its place included).
Result<UniqueFd> open_base_directory(const std::string& path);

// Opens the protected directory `name` below `base_fd`. When it is missing
// and `create_allowed`, a root caller creates it with mode 0755 whatever the
// umask (losing a creation race to another process counts as success).
// Fails with "MAINTENANCE_UNAVAILABLE"; nothing is created on failure except
// a directory whose permissions could not then be set.
Result<UniqueFd> open_or_create_child_directory(int base_fd, const std::string& name,
                                                bool create_allowed, uid_t effective_uid);

struct OpenedLockFile {
  UniqueFd fd;
  bool newly_created = false;
};

// Opens the lock file `name` below `directory_fd` read-write. When
// `create_allowed` and the caller is root, a missing file is created
// exclusively (mode 0666 is applied afterwards by set_new_lock_permissions);
// a file another process created first is simply opened. A caller that is
// not root never creates the file: it would be left behind with the wrong
// owner and refuse every later holder. Fails with "MAINTENANCE_UNAVAILABLE".
Result<OpenedLockFile> open_lock_file(int directory_fd, const std::string& name,
                                      bool create_allowed, uid_t effective_uid);

// Sets mode 0666 on a lock file this process has just created, overriding
// the umask. Fails with "MAINTENANCE_UNAVAILABLE".
Result<void> set_new_lock_permissions(int lock_fd, uid_t effective_uid);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_LOCK_FILES_H_
