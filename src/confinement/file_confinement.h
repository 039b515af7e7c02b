// What each mode may reach in the file system, at each moment of its life.
// The rules for every mode are kept together in the system's implementation
// (Landlock on Linux); each call adds one more layer to the process, which
// only ever narrows what the layers before allowed.
//
// A layer is checked when a file is opened, created, linked, renamed or
// truncated by name: descriptors opened before it (the held disk, the lock
// file, the standard streams) stay usable. Best effort and silent, like the
// rest of the confinement: where the kernel offers no such layer the mode
// goes on without it; sanitized builds add none (see
// system_call_filter_supported). A layer covers the calling thread and every
// thread and process it starts later; call these from the main thread while
// it is the only thread.
#ifndef RAVIK_CONFINEMENT_FILE_CONFINEMENT_H_
#define RAVIK_CONFINEMENT_FILE_CONFINEMENT_H_

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ravik {

enum class FileScope {
  // Standard streams only: nothing may be opened, made or removed.
  kNothing,
  // The device session as it starts, before its maintenance lock is taken:
  // other processes (signals, abstract sockets) and the network out of
  // reach. Its file accesses are narrowed once the lock is held
  // (confine_files_to_block_devices): unmounting is refused to a process
  // whose file accesses are confined, so the session's unmounting process
  // must be started before any layer that confines them.
  kDeviceSessionStart,
  // The maintenance, installer and guardian modes: the protected maintenance
  // directory and what they own there (the lock file, the lease state file,
  // the guardian socket), read or written; the base directory's listing;
  // random bytes; the process table (owner identities). Other processes may
  // still be signalled: a null signal proves an installer owner alive.
  kMaintenanceDirectory,
  // The cross-process lock before its file is open: that one file.
  kCallerLockFile,
};

struct FileScopePaths {
  // The directory holding the maintenance directory, and the maintenance
  // directory itself. While the maintenance directory does not exist yet
  // (before provisioning), its making is allowed below the base directory.
  std::string maintenance_base_directory;
  std::string maintenance_directory;
  // The file a cross-process lock names.
  std::string lock_file;
};

// The highest file-confinement interface version the kernel offers; 0 where
// it offers none.
int file_confinement_abi();

// Adds the layer of `scope`. Returns whether it took effect.
bool confine_files(FileScope scope, const FileScopePaths& paths);

// The device session once its maintenance lock is held, before its first
// frame: no regular file opened for writing anywhere, except below
// `regular_file_targets` (the testing binary's targets; empty in
// production); every block device node /dev lists for a disk or partition
// sysfs knows may be opened (the target is not yet known); /sys, /proc and
// /dev read (identity, mounts, swaps, and the mount table libmount parses).
// Returns whether it took effect.
//
// Release writes a disk's sysfs controls through a directory opened before
// the disk is held, so each layer up to then also grants, for every disk it
// lets open, the controls `release_controls` names for the disk's kernel
// name (none when it is null).
using ReleaseControls = std::vector<std::string> (*)(std::string_view kernel_name);
bool confine_files_to_block_devices(std::string_view regular_file_targets,
                                    ReleaseControls release_controls);

// The device session once its request is validated, before the disk is
// opened: of the nodes the layer before allowed, only `node`, the one the
// request names, may still be opened; of the reads, /sys and /proc.
bool confine_files_to_named_node(std::string_view node, ReleaseControls release_controls);

// The device session once its disk is held: nothing may be opened for
// writing, made, removed, linked, renamed or truncated anywhere, and no
// device opened, the held disk's own node included (the held descriptor
// proves the claim), except that each of `release_attributes` (the held
// disk's own sysfs controls) may be written. Reads of sysfs and the process
// file system remain (identity, mounts, swaps, departure). Returns whether
// it took effect.
bool confine_files_to_held_disk(std::span<const std::string> release_attributes);

// Once a mode's files are open: nothing more may be opened, made or removed
// by name. Does nothing in a process that confine_files did not confine.
void close_file_access();

}  // namespace ravik

#endif  // RAVIK_CONFINEMENT_FILE_CONFINEMENT_H_
