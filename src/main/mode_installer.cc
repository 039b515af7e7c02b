#include "main/modes.h"

namespace ravik {

// The installer lease modes are not part of this build yet; they fail loudly
// rather than pretend a lease was begun, confirmed or ended.
Result<void> run_installer_begin_mode(const BuildProfile&, std::string_view,
                                      std::string_view, std::string_view,
                                      std::string_view) {
  return fail(mode_not_available("installer maintenance begin"));
}

Result<void> run_installer_assert_owner_mode(const BuildProfile&, std::string_view,
                                             std::string_view, std::string_view) {
  return fail(mode_not_available("installer maintenance assert-owner"));
}

Result<void> run_installer_end_mode(const BuildProfile&, std::string_view,
                                    std::string_view) {
  return fail(mode_not_available("installer maintenance end"));
}

}  // namespace ravik
