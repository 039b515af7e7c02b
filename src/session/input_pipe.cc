#include "session/input_pipe.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

namespace ravik {
namespace {

#ifdef F_SETPIPE_SZ
constexpr const char* kPipeMaxSizePath = "/proc/sys/fs/pipe-max-size";
constexpr long kDefaultPipeBytes = 65'536;
// More than a frame's worth buys nothing: the reader takes one frame at a
// time.
constexpr long kWantedPipeBytes = 4 * 1'048'576;

long system_pipe_limit() {
  std::ifstream limit(kPipeMaxSizePath);
  long bytes = 0;
  if (!(limit >> bytes) || bytes < kDefaultPipeBytes) return kDefaultPipeBytes;
  return bytes;
}
#endif

}  // namespace

std::size_t enlarge_input_pipe(int fd) {
  struct stat status {};
  if (::fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return 0;
#ifdef F_SETPIPE_SZ
  const long current = ::fcntl(fd, F_GETPIPE_SZ);
  if (current < 0) return 0;
  for (long size = std::min(system_pipe_limit(), kWantedPipeBytes); size > current;
       size /= 2) {
    const int granted = ::fcntl(fd, F_SETPIPE_SZ, static_cast<int>(size));
    if (granted >= 0) return static_cast<std::size_t>(granted);
  }
  return static_cast<std::size_t>(current);
#else
  return 0;
#endif
}

}  // namespace ravik
