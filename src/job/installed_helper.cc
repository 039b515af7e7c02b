#include "job/installed_helper.h"

#include <filesystem>

namespace ravik::job {

std::string installed_helper_path(const std::string& client_path) {
  // Computed by the build from the install directories (bin and libexec).
  const std::filesystem::path relative(RAVIK_CLIENT_TO_HELPER);
  const std::filesystem::path client(client_path);
  return (client.parent_path() / relative).lexically_normal().string();
}

}  // namespace ravik::job
