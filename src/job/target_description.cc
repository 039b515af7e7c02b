#include "job/target_description.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <optional>

#include "platform/linux/block_device_description.h"

namespace ravik::job {
namespace {

std::string base_name(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The first line of a sysfs attribute with surrounding blanks removed;
// nothing when it is missing or blank.
std::optional<std::string> sysfs_text(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  if (!file || !std::getline(file, line)) return std::nullopt;
  const std::size_t first = line.find_first_not_of(" \t");
  if (first == std::string::npos) return std::nullopt;
  const std::size_t last = line.find_last_not_of(" \t");
  return line.substr(first, last - first + 1);
}

std::optional<std::string> resolved(const std::string& path) {
  char buffer[PATH_MAX];
  if (::realpath(path.c_str(), buffer) == nullptr) return std::nullopt;
  return std::string(buffer);
}

// Describes the disk from the same sysfs reading the helper proves its
// identity with, so that the model and topology path the client announces
// are exactly the ones the helper will compare them against.
Result<TargetDescription> describe_whole_disk(const std::string& node) {
  const std::string name = base_name(node);
  RAVIK_ASSIGN_OR_RETURN(const BlockDeviceDescription disk,
                         describe_block_device(name, LinuxSystemPaths{}));
  if (!disk.whole) {
    return fail(codes::kDeviceNotRemovable,
                node +
                    " is a partition; give the whole disk it belongs to (see "
                    "ravik-device-client list).");
  }
  TargetDescription description;
  description.fields.device_id = name;
  description.fields.device_path = "/dev/" + name;
  description.fields.size_bytes = disk.size_bytes;
  description.logical_block_size = disk.logical_block_size;
  description.fields.model = disk.model;
  description.fields.serial = sysfs_text("/sys/class/block/" + name + "/device/serial");
  description.fields.topology_path = disk.bus_path;
  return description;
}

}  // namespace

Result<TargetDescription> describe_target(const std::string& path) {
  auto absolute = resolved(path);
  if (!absolute) {
    return fail(
        HelperError::io(codes::kDeviceNotRemovable, "Could not find the target", errno));
  }
  // Not opened: a user who may not open the disk still has it described,
  // and writes it through the helper started as root.
  struct stat info = {};
  if (::stat(absolute->c_str(), &info) != 0) {
    return fail(HelperError::io(codes::kDeviceNotRemovable,
                                "Could not inspect the target", errno));
  }
  if (S_ISBLK(info.st_mode)) return describe_whole_disk(*absolute);
  if (!S_ISREG(info.st_mode)) {
    return fail(codes::kDeviceNotRemovable,
                "The target must be a block device or a regular file.");
  }
  TargetDescription description;
  description.regular_file = true;
  description.fields.device_id = base_name(*absolute);
  description.fields.device_path = *absolute;
  description.fields.size_bytes = static_cast<std::uint64_t>(info.st_size);
  return description;
}

}  // namespace ravik::job
