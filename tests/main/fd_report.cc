// Prints the number of every descriptor open in this process, one per line
// in increasing order, and exits 0: what a program the helper starts was
// handed. Its own directory descriptor is left out.
#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <set>

int main() {
  DIR* directory = ::opendir("/proc/self/fd");
  if (directory == nullptr) return 2;
  std::set<int> open;
  while (const dirent* entry = ::readdir(directory)) {
    if (entry->d_name[0] == '.') continue;
    const int fd = std::atoi(entry->d_name);
    if (fd != ::dirfd(directory)) open.insert(fd);
  }
  ::closedir(directory);
  for (const int fd : open) std::printf("%d\n", fd);
  return 0;
}
