// The process modes the command line selects. Each returns nothing or the
// HelperError that the common ending reports. The arguments are handed over
// as text, unparsed: each mode checks its own values.
#ifndef RAVIK_MAIN_MODES_H_
#define RAVIK_MAIN_MODES_H_

#include <span>
#include <string_view>

#include "error/helper_error.h"
#include "main/build_profile.h"

namespace ravik {

Result<void> run_device_session_mode(const BuildProfile& profile);
Result<void> run_sudo_launcher_mode(std::span<const std::string_view> sudo_args);
Result<void> run_maintenance_provision_mode(const BuildProfile& profile);
Result<void> run_maintenance_hold_mode(const BuildProfile& profile, std::string_view mode,
                                       std::string_view timeout_ms);
Result<void> run_cross_process_lock_hold_mode(std::string_view path);
Result<void> run_installer_begin_mode(const BuildProfile& profile,
                                      std::string_view protocol,
                                      std::string_view lease_state,
                                      std::string_view owner_pid,
                                      std::string_view timeout_ms);
Result<void> run_installer_assert_owner_mode(const BuildProfile& profile,
                                             std::string_view protocol,
                                             std::string_view lease_state,
                                             std::string_view owner_pid);
Result<void> run_installer_end_mode(const BuildProfile& profile,
                                    std::string_view protocol,
                                    std::string_view lease_state);

}  // namespace ravik

#endif  // RAVIK_MAIN_MODES_H_
