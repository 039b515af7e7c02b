// The maintenance modes the command line selects. Each returns nothing or the
// HelperError that the common ending reports. The arguments are handed over
// as text, unparsed: each mode checks its own values.
#ifndef RAVIK_MAIN_MODE_MAINTENANCE_H_
#define RAVIK_MAIN_MODE_MAINTENANCE_H_

#include <string_view>

#include "error/helper_error.h"
#include "main/build_profile.h"

namespace ravik {

Result<void> run_maintenance_provision_mode(const BuildProfile& profile);
Result<void> run_maintenance_hold_mode(const BuildProfile& profile, std::string_view mode,
                                       std::string_view timeout_ms);
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

#endif  // RAVIK_MAIN_MODE_MAINTENANCE_H_
