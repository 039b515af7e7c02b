// BuildProfile: what distinguishes the production helper from the testing
// helper. Both executables run the same code; only their main() differs, and
// each passes one constant profile down to the modes. The test-only powers are
// linked only into the testing executable, so the production binary cannot
// reach them whatever its input says.
#ifndef RAVIK_MAIN_BUILD_PROFILE_H_
#define RAVIK_MAIN_BUILD_PROFILE_H_

#include <memory>
#include <string>
#include <string_view>

#include "confinement/confinement.h"
#include "confinement/file_confinement.h"
#include "maintenance/maintenance_lock.h"
#include "transaction/device_openers.h"

namespace ravik {

struct BuildProfile {
  // Directory holding the protected maintenance directory: "/var/lib" in
  // production, a directory inside the build tree for the testing binary.
  std::string_view maintenance_base_directory;
  // Name of the protected directory under the base directory.
  std::string_view maintenance_directory_name;
  // The device backends a device session may open and their policy (loop
  // devices as removable disks in the testing binary only); the regular-file
  // backend is named only by the testing binary, which alone links it.
  DeviceOpeners device_openers;
  // Starts the device session's unmounting process before the session is
  // confined, and returns its owner (null when none could be started); null
  // where the session unmounts without one. Only while one runs does the
  // session confine its file accesses before its disk is held.
  std::shared_ptr<void> (*start_unmounter)(const DeviceOpenPolicy& policy) = nullptr;
  // The sysfs controls a release of a disk may write, by its kernel name;
  // null where release writes none.
  ReleaseControls release_controls = nullptr;
  // Testing helper only: the directory below which its regular-file targets
  // lie, writable to a device session until its request names its target.
  std::string_view regular_file_target_directory;
  // Whether every mode but the sudo launcher confines itself (no new
  // privileges, its own capabilities, its system-call filter) before it reads
  // any input. On in both executables; the testing helper turns it off for a
  // test that needs more, and a profile built without it confines nothing.
  bool confine_modes = false;
  // Testing helper only: runs once a mode is confined, before it reads input.
  void (*after_confinement)(ConfinedMode) = nullptr;
  // Testing helper only: runs where a confined mode's file access was
  // narrowed: as each mode but the device session starts and in a device
  // session once its request is validated (with an empty node), and in a
  // device session once its image is written (with the held disk's node).
  void (*after_file_confinement)(std::string_view held_node) = nullptr;

  MaintenanceLocation maintenance_location() const {
    return MaintenanceLocation{
        .base_directory = std::string(maintenance_base_directory),
        .directory_name = std::string(maintenance_directory_name),
    };
  }
};

}  // namespace ravik

#endif  // RAVIK_MAIN_BUILD_PROFILE_H_
