// The trust rules of the maintenance lock's directories and file, checked on
// open descriptors so that what is checked is what is used. Anything unsafe
// is refused; nothing here ever changes a file. Thread-safe.
#ifndef RAVIK_MAINTENANCE_LOCK_FILE_RULES_H_
#define RAVIK_MAINTENANCE_LOCK_FILE_RULES_H_

#include <sys/stat.h>

#include "error/helper_error.h"

namespace ravik {

// The pure rules on a status record, exposed so that every combination of
// type, owner, link count and mode bits can be tested without making files.
bool directory_status_is_safe(const struct stat& status);
bool lock_file_status_is_safe(const struct stat& status);

// A root-owned directory with exactly the permission bits 0755 (no write for
// group or others). Fails with "MAINTENANCE_UNAVAILABLE".
Result<void> validate_directory(int directory_fd);

// A root-owned regular file with exactly the permission bits 0666 and one
// link. The set-user-ID, set-group-ID and sticky bits are not examined.
// Fails with "MAINTENANCE_UNAVAILABLE".
Result<void> validate_lock_file(int lock_fd);

}  // namespace ravik

#endif  // RAVIK_MAINTENANCE_LOCK_FILE_RULES_H_
