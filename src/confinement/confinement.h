// Least privilege for the helper's modes: no new privileges through exec, only
// the capabilities a mode's own steps use, and a system-call filter that
// refuses what no mode of this helper does (process creation and execution,
// tracing, mounting, module loading, namespaces, and so on).
//
// Confinement is best effort and silent: where the kernel or the system
// refuses a step (an older kernel, a process without the right to drop its
// bounding set), the process goes on with what did apply, and nothing is
// reported on the wire. Refused system calls fail with EPERM instead of
// killing the process, so that an unforeseen library path fails as an
// ordinary error and the helper still answers.
//
// Every function here changes the whole process irreversibly. Call them from
// the main thread; the filter covers every thread, those already running
// included.
#ifndef RAVIK_CONFINEMENT_CONFINEMENT_H_
#define RAVIK_CONFINEMENT_CONFINEMENT_H_

#include <span>
#include <string_view>

namespace ravik {

// What a mode still does once it is confined. The files of the maintenance
// modes lie in the protected directory, which only root may write, so root
// opens them as their owner: those modes keep no capability.
enum class ConfinedMode {
  // Opens, unmounts, flushes and ejects a disk: keeps CAP_SYS_ADMIN (unmount)
  // only; no sockets.
  kDeviceSession,
  // Opens a lock file the caller names: keeps CAP_DAC_OVERRIDE and
  // CAP_DAC_READ_SEARCH (and CAP_SETPCAP to drop them from the bounding set)
  // until it is open (drop_capabilities), so that root opens a file that is
  // not its own as it always did and refuses it for what it is, not for a
  // failed open; no sockets.
  kCallerLockFile,
  // Starts its guardian process: may fork (but not exec); Unix-domain
  // sockets only.
  kInstallerBegin,
  // Talks to a running guardian: Unix-domain sockets only.
  kInstallerClient,
  // Works on its own files and standard streams only: no sockets.
  kLocalFiles,
};

// Which steps took effect.
struct ConfinementOutcome {
  bool no_new_privileges = false;
  bool capabilities_reduced = false;
  bool filter_installed = false;
};

// Sets PR_SET_NO_NEW_PRIVS: nothing this process or its descendants exec can
// gain privileges. Returns whether it took effect.
bool forbid_new_privileges();

// Confines the process for `mode`: no new privileges, the mode's
// capabilities only (effective, permitted, inheritable, ambient and bounding
// sets), and the mode's system-call filter on every thread.
ConfinementOutcome confine_process(ConfinedMode mode);

// Drops every capability left, from every set, once the mode's files are
// open; does nothing in a process that confine_process did not confine.
void drop_capabilities();

// For a forked child that serves on its own and never starts a process:
// drops every capability and adds a filter refusing process creation, when
// this process was confined by confine_process; otherwise does nothing.
void confine_forked_child();

// For a device session once its maintenance lock is held (the lock's
// provisioning is the last file it makes): adds a filter refusing every
// call that creates, truncates, renames, links or removes a file or changes
// a file's mode or times (with EACCES, as a file-system layer refuses), when
// this process was confined by confine_process; otherwise does nothing.
void forbid_file_changes();

// The system calls every mode's filter refuses, by name.
std::span<const std::string_view> refused_system_calls();

// False in builds whose runtime needs what the filter refuses (the address
// and thread sanitizers trace and start processes for their reports):
// confine_process then installs no filter.
bool system_call_filter_supported();

}  // namespace ravik

#endif  // RAVIK_CONFINEMENT_CONFINEMENT_H_
