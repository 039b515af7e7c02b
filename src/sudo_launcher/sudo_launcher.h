// The sudo launcher: lets the unprivileged application start an elevated
// command through /usr/bin/sudo, with the helper as the process that sudo
// replaces, leading a process group of its own so that the application can
// signal the whole elevated tree at once. The sudo arguments are passed on
// exactly as given; they are never built, inspected or filtered here.
//
// Process-wide effects (process group, signal disposition, exec): call only
// from the single thread of the launcher mode.
#ifndef RAVIK_SUDO_LAUNCHER_SUDO_LAUNCHER_H_
#define RAVIK_SUDO_LAUNCHER_SUDO_LAUNCHER_H_

#include <sys/types.h>

#include <span>
#include <string_view>

#include "error/helper_error.h"

namespace ravik::sudo_launcher {

inline constexpr std::string_view kSudoPath = "/usr/bin/sudo";

struct CallerIds {
  uid_t real_uid;
  uid_t effective_uid;
  gid_t real_gid;
  gid_t effective_gid;
};

CallerIds current_caller_ids();

// Refuses root and any caller whose real and effective identities differ
// (a set-user-ID or set-group-ID start), then an empty argument list. The
// identity is judged first, so root learns nothing about its arguments.
Result<void> check_launch_request(const CallerIds& caller, std::size_t argument_count);

// Makes the process the leader of a new process group and replaces it with
// `program` (argument zero is `program`, then `arguments`), with SIGPIPE back
// at its default. Returns only on failure, with the process otherwise as it
// was except for its process group.
Result<void> exec_in_own_process_group(std::string_view program,
                                       std::span<const std::string_view> arguments);

// The mode: check the caller and the arguments, then become /usr/bin/sudo.
// Returns only on failure.
Result<void> launch(std::span<const std::string_view> arguments);

}  // namespace ravik::sudo_launcher

#endif  // RAVIK_SUDO_LAUNCHER_SUDO_LAUNCHER_H_
