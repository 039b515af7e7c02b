// Where the production helper sits relative to an installed client.
#ifndef RAVIK_JOB_INSTALLED_HELPER_H_
#define RAVIK_JOB_INSTALLED_HELPER_H_

#include <string>

namespace ravik::job {

// The production helper of the installation `client_path` belongs to:
// bin/ravik-device-client finds libexec/ravik/ravik-unix-device-helper under
// the same prefix, so a staged (DESTDIR) install and the build tree, which
// mirrors the installed layout, find their own helper. `client_path` must be
// the resolved path of the client executable; the result is lexically
// normalised, so that it names the helper exactly as a sudoers rule would.
std::string installed_helper_path(const std::string& client_path);

}  // namespace ravik::job

#endif  // RAVIK_JOB_INSTALLED_HELPER_H_
