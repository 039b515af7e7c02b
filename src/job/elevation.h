// Starting the helper with the rights its target needs. As root, or for a
// regular file standing in for a disk, the helper runs directly. An
// unprivileged user writing a block device gets the helper through its own
// sudo launcher: it leads a process group of its own and becomes sudo, which
// asks for the password on the terminal and runs the same helper as root;
// or, without a terminal, through pkexec, which asks through polkit.
// The protocol still travels over the helper's standard streams; sudo reads
// the password from the terminal itself.
//
// Thread-compatible.
#ifndef RAVIK_JOB_ELEVATION_H_
#define RAVIK_JOB_ELEVATION_H_

#include <string>
#include <vector>

#include "error/helper_error.h"
#include "job/helper_process.h"
#include "job/job_options.h"

namespace ravik::job {

// The helper's arguments that make it run `helper_path` as root through
// sudo. Without `interactive` sudo must not prompt: it runs only when no
// password is needed and refuses at once otherwise.
std::vector<std::string> sudo_launch_arguments(const std::string& helper_path,
                                               bool interactive);

inline constexpr std::string_view kPkexecPath = "/usr/bin/pkexec";

// kAuto made definite: sudo when this process holds a terminal in the
// foreground (sudo asks there) or when no graphical session could show a
// polkit agent's dialog (sudo -n still runs where sudoers needs no
// password); pkexec otherwise.
Elevation chosen_elevation(Elevation asked);

// Asks sudo, once and before any session starts, for the rights the
// helpers will need: on the terminal when this process has it in the
// foreground, else without prompting. Once granted, start_helper_for_target
// runs sudo without prompting and leaves the terminal alone, so that several
// sessions never compete for it. With pkexec it only checks that pkexec
// runs: each session's pkexec asks (polkit's auth_admin_keep spares the
// later ones the question for a few minutes).
Result<void> elevate_once(Elevation elevation);

// Starts `helper_path` for a session on the target, through sudo or pkexec
// when this process is not root and the target is a block device. Refuses,
// before anything starts, when that program cannot be run. A helper started
// through pkexec runs as root with nothing in front of it: it cannot be
// signalled, and is canceled through the protocol instead.
Result<HelperProcess> start_helper_for_target(const std::string& helper_path,
                                              bool regular_file_target,
                                              Elevation elevation);

}  // namespace ravik::job

#endif  // RAVIK_JOB_ELEVATION_H_
