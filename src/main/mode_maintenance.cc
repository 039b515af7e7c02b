#include "main/modes.h"

namespace ravik {

Result<void> run_maintenance_provision_mode(const BuildProfile&) {
  return fail(mode_not_available("maintenance provisioning"));
}

Result<void> run_maintenance_hold_mode(const BuildProfile&, std::string_view,
                                       std::string_view) {
  return fail(mode_not_available("maintenance hold"));
}

}  // namespace ravik
