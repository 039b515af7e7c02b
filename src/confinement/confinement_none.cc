// Systems without the Linux confinement interfaces run every mode as started.
#include "confinement/confinement.h"

namespace ravik {

bool forbid_new_privileges() { return false; }

ConfinementOutcome confine_process(ConfinedMode) { return {}; }

void drop_capabilities() {}

void confine_forked_child() {}

std::span<const std::string_view> refused_system_calls() { return {}; }

bool system_call_filter_supported() { return false; }

}  // namespace ravik
