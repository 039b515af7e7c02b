// Starting the helper with the rights its target needs. As root, or for a
// regular file standing in for a disk, the helper runs directly. An
// unprivileged user writing a block device gets the helper through its own
// sudo launcher: it leads a process group of its own and becomes sudo, which
// asks for the password on the terminal and runs the same helper as root.
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

namespace ravik::job {

// The helper's arguments that make it run `helper_path` as root through
// sudo. Without `interactive` sudo must not prompt: it runs only when no
// password is needed and refuses at once otherwise.
std::vector<std::string> sudo_launch_arguments(const std::string& helper_path,
                                               bool interactive);

// Asks sudo, once and before any session starts, for the rights the
// helpers will need: on the terminal when this process has it in the
// foreground, else without prompting. Once granted, start_helper_for_target
// runs sudo without prompting and leaves the terminal alone, so that several
// sessions never compete for it.
Result<void> elevate_once();

// Starts `helper_path` for a session on the target, through sudo when this
// process is not root and the target is a block device. Refuses, before
// anything starts, when sudo is needed but cannot be run.
Result<HelperProcess> start_helper_for_target(const std::string& helper_path,
                                              bool regular_file_target);

}  // namespace ravik::job

#endif  // RAVIK_JOB_ELEVATION_H_
