#include "platform/linux/swap_areas.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/linux/libmount_table.h"

namespace ravik {

Result<std::vector<SwapArea>> read_swap_areas(const std::string& path) {
  constexpr std::string_view kContext = "Could not read the list of active swap areas";
  if (::access(path.c_str(), F_OK) != 0 && errno == ENOENT) {
    return std::vector<SwapArea>();
  }
  const MountTablePtr table = new_strict_mount_table();
  if (!table) return fail(HelperError::io(codes::kDeviceNotRemovable, kContext, ENOMEM));
  if (const int rc = mnt_table_parse_swaps(table.get(), path.c_str()); rc != 0) {
    return fail(
        HelperError::io(codes::kDeviceNotRemovable, kContext, rc < 0 ? -rc : EINVAL));
  }
  std::vector<SwapArea> areas;
  for_each_mount_entry(table.get(), [&](libmnt_fs* entry) {
    const char* file_name = mnt_fs_get_source(entry);
    struct stat status {};
    if (file_name != nullptr && ::stat(file_name, &status) == 0) {
      areas.push_back(SwapArea{
          .file_name = file_name,
          .device_number = S_ISBLK(status.st_mode) ? status.st_rdev : status.st_dev});
    }
    return true;
  });
  return areas;
}

}  // namespace ravik
