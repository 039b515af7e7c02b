// The installed, elevated helper.
#include "main/command_line.h"

int main(int argc, char** argv) {
  static constexpr ravik::BuildProfile kProfile{
      .maintenance_base_directory = "/var/lib",
      .maintenance_directory_name = "ravik",
  };
  return ravik::run_helper(argc, argv, kProfile);
}
