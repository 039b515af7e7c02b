// Systems without the Linux confinement interfaces run every mode as started.
#include "confinement/confinement.h"
#include "confinement/file_confinement.h"

namespace ravik {

bool forbid_new_privileges() { return false; }

ConfinementOutcome confine_process(ConfinedMode) { return {}; }

void drop_capabilities() {}

void confine_forked_child() {}

void forbid_file_changes() {}

std::span<const std::string_view> refused_system_calls() { return {}; }

bool system_call_filter_supported() { return false; }

int file_confinement_abi() { return 0; }

bool confine_files(FileScope, const FileScopePaths&) { return false; }

bool confine_files_to_block_devices(std::string_view, ReleaseControls) { return false; }

bool confine_files_to_named_node(std::string_view, ReleaseControls) { return false; }

bool confine_files_to_held_disk(std::span<const std::string>) { return false; }

void close_file_access() {}

}  // namespace ravik
