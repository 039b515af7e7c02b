// The testing helper: the production code paths plus the test-only powers
// (regular-file targets, loop devices as removable disks) and a maintenance
// directory inside the build tree. Never installed.
#include "main/command_line.h"

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = RAVIK_TESTING_ROOT,
      .maintenance_directory_name = "ravik",
      .treat_loop_devices_as_removable = true,
      .allow_regular_file_targets = true,
  };
  return ravik::run_helper(argc, argv, kProfile);
}
