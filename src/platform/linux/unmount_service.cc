#include "platform/linux/unmount_service.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <vector>

#include "io/unique_fd.h"
#include "platform/linux/block_device_description.h"
#include "platform/linux/disk_offer.h"

namespace ravik {
namespace {

int service_socket = -1;

struct CloseDirectory {
  void operator()(DIR* directory) const { ::closedir(directory); }
};

// The kernel names of the block devices sysfs lists; those that are not
// plain names are left out, as describe_block_device would refuse them.
std::vector<std::string> block_device_names(const LinuxSystemPaths& paths) {
  std::vector<std::string> names;
  const std::string listing = paths.sysfs_root + "/class/block";
  std::unique_ptr<DIR, CloseDirectory> directory(::opendir(listing.c_str()));
  if (!directory) return names;
  while (const dirent* entry = ::readdir(directory.get())) {
    if (is_plain_kernel_name(entry->d_name)) names.emplace_back(entry->d_name);
  }
  return names;
}

}  // namespace

int unmount_removable_disk_mount(int mount_id, const LinuxSystemPaths& paths,
                                 RemovabilityPolicy policy, MountOperations& operations) {
  const Result<SystemUse> use = read_system_use(paths);
  if (!use) return EIO;
  const auto entry = std::ranges::find(use->mounts, mount_id, &MountEntry::mount_id);
  if (entry == use->mounts.end()) return EINVAL;
  // The disk is found by the mount's device number among the whole disks
  // sysfs lists now, never by a name the requester gave.
  for (const std::string& name : block_device_names(paths)) {
    const Result<BlockDeviceDescription> description = describe_block_device(name, paths);
    if (!description || !description->whole) continue;
    const std::vector<dev_t> devices = disk_device_numbers(*description);
    if (std::ranges::find(devices, entry->device_number) == devices.end()) continue;
    if (!check_disk_offered(*description, *use, policy)) return EPERM;
    return operations.unmount(*entry);
  }
  return EPERM;
}

void use_unmount_service(int socket) { service_socket = socket; }

std::optional<int> unmount_through_service(const MountEntry& entry) {
  if (service_socket < 0) return std::nullopt;
  const UnmountRequest request{.mount_id = entry.mount_id};
  ssize_t sent = 0;
  do {
    sent = ::send(service_socket, &request, sizeof(request), MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent != static_cast<ssize_t>(sizeof(request))) return EIO;
  UnmountAnswer answer;
  ssize_t received = 0;
  do {
    received = ::recv(service_socket, &answer, sizeof(answer), 0);
  } while (received < 0 && errno == EINTR);
  if (received != static_cast<ssize_t>(sizeof(answer))) return EIO;
  return answer.error;
}

}  // namespace ravik
