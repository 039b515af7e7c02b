#include "platform/linux/block_device_description.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>

#include "io/unique_fd.h"
#include "platform/linux/sysfs_attribute.h"
#include "platform/whitespace_normalize.h"

namespace ravik {
namespace {

constexpr std::string_view kNotResolved =
    "sysfs could not resolve the selected whole disk.";
constexpr std::string_view kNotDescribed = "sysfs could not describe the selected disk.";
constexpr unsigned kLoopMajor = 7;

std::optional<std::string> resolve_path(const std::string& path) {
  struct Free {
    void operator()(char* p) const { std::free(p); }
  };
  std::unique_ptr<char, Free> resolved(::realpath(path.c_str(), nullptr));
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

std::string basename_of(std::string_view path) {
  const auto slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

// The name of the bus or class a sysfs device directory belongs to, from its
// "subsystem" link; empty when it has none.
std::string subsystem_of(const std::string& device_directory) {
  char target[PATH_MAX];
  const ssize_t length =
      ::readlink((device_directory + "/subsystem").c_str(), target, sizeof(target) - 1);
  if (length <= 0) return {};
  return basename_of(std::string_view(target, static_cast<std::size_t>(length)));
}

class SysfsReader {
 public:
  SysfsReader(int directory_fd, std::string class_path)
      : directory_fd_(directory_fd), class_path_(std::move(class_path)) {}

  Result<std::string> text(const std::string& name) const {
    auto value = read_sysfs_text(directory_fd_, name);
    if (!value) return std::unexpected(to_error(value.error()));
    return std::move(*value);
  }

  Result<std::optional<std::string>> optional_text(const std::string& name) const {
    auto value = read_sysfs_text(directory_fd_, name);
    if (value) return std::optional<std::string>(std::move(*value));
    if (value.error().failure == SysfsReadFailure::kMissing) {
      return std::optional<std::string>();
    }
    return std::unexpected(to_error(value.error()));
  }

  Result<std::uint64_t> number(const std::string& name) const {
    auto value = read_sysfs_u64(directory_fd_, name);
    if (!value) return std::unexpected(to_error(value.error()));
    return *value;
  }

  Result<bool> flag(const std::string& name) const {
    RAVIK_ASSIGN_OR_RETURN(const std::uint64_t value, number(name));
    if (value > 1) return std::unexpected(invalid_number());
    return value == 1;
  }

  Result<dev_t> device_number(const std::string& name) const {
    auto value = read_sysfs_device_number(directory_fd_, name);
    if (!value) return std::unexpected(to_error(value.error()));
    return *value;
  }

  static HelperError invalid_number() {
    return HelperError(codes::kDeviceNotRemovable,
                       "sysfs returned invalid numeric target identity information.");
  }

 private:
  HelperError to_error(const SysfsError& error) const {
    switch (error.failure) {
      case SysfsReadFailure::kMissing: {
        // A device that is unplugged takes its attributes with it: that is a
        // disconnect, not a description that lacks something.
        struct stat status {};
        if (::lstat(class_path_.c_str(), &status) != 0) {
          return HelperError(codes::kDeviceDisconnected, std::string(kNotDescribed));
        }
        return HelperError(codes::kDeviceNotRemovable,
                           "sysfs omitted required target identity information.");
      }
      case SysfsReadFailure::kUnreadable:
        return HelperError(codes::kDeviceDisconnected, std::string(kNotDescribed));
      case SysfsReadFailure::kTooLong:
        return HelperError(codes::kDeviceNotRemovable,
                           "sysfs target identity string exceeds the safety bound.");
      case SysfsReadFailure::kInvalidUtf8:
        return HelperError(codes::kDeviceNotRemovable,
                           "sysfs target identity string is not valid UTF-8.");
      case SysfsReadFailure::kInvalidNumber:
        break;
    }
    return invalid_number();
  }

  int directory_fd_;  // Not owned; must outlive this.
  std::string class_path_;
};

Result<std::string> read_model(const SysfsReader& reader, BlockTransport transport,
                               bool is_virtual) {
  for (const char* name : {"device/model", "device/name"}) {
    RAVIK_ASSIGN_OR_RETURN(auto value, reader.optional_text(name));
    if (value) {
      std::string model = normalize_whitespace(*value);
      if (!model.empty()) return model;
    }
  }
  if (transport == BlockTransport::kLoop) return std::string(kLoopDeviceModel);
  if (is_virtual) return std::string(kVirtualDeviceModel);
  return std::string(kUnnamedDeviceModel);
}

struct CloseDirectory {
  void operator()(DIR* d) const { ::closedir(d); }
};

// The plain names in the directory `name` below `parent_fd`; a missing
// directory has none.
Result<std::vector<std::string>> list_entries(int parent_fd, const char* name) {
  UniqueFd fd(::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd) {
    if (errno == ENOENT) return std::vector<std::string>();
    return fail(codes::kDeviceDisconnected, std::string(kNotDescribed));
  }
  std::unique_ptr<DIR, CloseDirectory> directory(::fdopendir(fd.get()));
  if (!directory) return fail(codes::kDeviceDisconnected, std::string(kNotDescribed));
  (void)fd.release();  // now owned by `directory`
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(directory.get())) {
    const std::string_view entry_name = entry->d_name;
    if (entry_name != "." && entry_name != ".." && is_plain_kernel_name(entry_name)) {
      names.emplace_back(entry_name);
    }
  }
  return names;
}

// Partitions appear as subdirectories of the disk that carry a "partition"
// attribute; their "dev" gives the device number that mounts refer to. The
// holders of the disk and of every partition are collected on the way.
Result<void> read_partitions_and_holders(int disk_fd, const std::string& disk_directory,
                                         BlockDeviceDescription& description) {
  RAVIK_ASSIGN_OR_RETURN(description.holders, list_entries(disk_fd, "holders"));
  RAVIK_ASSIGN_OR_RETURN(const std::vector<std::string> children,
                         list_entries(disk_fd, "."));
  for (const std::string& name : children) {
    UniqueFd child(
        ::openat(disk_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!child) continue;
    struct stat status {};
    if (::fstatat(child.get(), "partition", &status, 0) != 0) continue;
    SysfsReader reader(child.get(), disk_directory);
    RAVIK_ASSIGN_OR_RETURN(const dev_t number, reader.device_number("dev"));
    description.partition_device_numbers.push_back(number);
    RAVIK_ASSIGN_OR_RETURN(const std::vector<std::string> holders,
                           list_entries(child.get(), "holders"));
    description.holders.insert(description.holders.end(), holders.begin(), holders.end());
  }
  return {};
}

// The "type" attribute of an MMC card: empty when the card has none.
Result<std::string> read_mmc_card_type(const std::string& card_directory,
                                       const std::string& class_path) {
  UniqueFd card(::open(card_directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!card) return fail(codes::kDeviceDisconnected, std::string(kNotDescribed));
  RAVIK_ASSIGN_OR_RETURN(auto type,
                         SysfsReader(card.get(), class_path).optional_text("type"));
  return type.value_or(std::string());
}

}  // namespace

bool is_plain_kernel_name(std::string_view name) {
  if (name.empty() || name.size() > 255 || name.front() == '.') return false;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.';
    if (!plain) return false;
  }
  return true;
}

Result<BlockDeviceDescription> describe_block_device(std::string_view kernel_name,
                                                     const LinuxSystemPaths& paths) {
  if (!is_plain_kernel_name(kernel_name)) {
    return fail(codes::kDeviceDisconnected, std::string(kNotResolved));
  }
  const std::string class_path =
      paths.sysfs_root + "/class/block/" + std::string(kernel_name);
  const auto resolved = resolve_path(class_path);
  const auto devices_root = resolve_path(paths.sysfs_root + "/devices");
  if (!resolved || !devices_root || !resolved->starts_with(*devices_root + "/") ||
      basename_of(*resolved) != kernel_name) {
    return fail(codes::kDeviceDisconnected, std::string(kNotResolved));
  }
  UniqueFd directory(::open(resolved->c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!directory) return fail(codes::kDeviceDisconnected, std::string(kNotResolved));
  const SysfsReader reader(directory.get(), class_path);

  BlockDeviceDescription description;
  description.kernel_name = std::string(kernel_name);
  const std::string block_path = "/sys/devices" + resolved->substr(devices_root->size());
  description.bus_path = block_path;
  RAVIK_ASSIGN_OR_RETURN(description.device_number, reader.device_number("dev"));
  RAVIK_ASSIGN_OR_RETURN(const std::uint64_t sectors, reader.number("size"));
  // sysfs counts the size in 512-byte units whatever the logical block size.
  if (sectors > UINT64_MAX / 512) return std::unexpected(SysfsReader::invalid_number());
  description.size_bytes = sectors * 512;
  RAVIK_ASSIGN_OR_RETURN(const bool read_only, reader.flag("ro"));
  description.writable = !read_only;
  RAVIK_ASSIGN_OR_RETURN(const auto partition_index, reader.optional_text("partition"));
  description.whole = !partition_index.has_value();
  // A partition has no queue, sequence number or removable flag of its own;
  // what is read so far is enough to refuse it.
  if (!description.whole) return description;
  RAVIK_ASSIGN_OR_RETURN(description.logical_block_size,
                         reader.number("queue/logical_block_size"));
  RAVIK_ASSIGN_OR_RETURN(description.disk_sequence, reader.number("diskseq"));
  RAVIK_ASSIGN_OR_RETURN(description.removable, reader.flag("removable"));

  const std::string virtual_prefix = "/sys/devices/virtual/block/";
  const bool is_virtual = block_path.starts_with(virtual_prefix);
  const auto parent = resolve_path(*resolved + "/device");
  if (is_virtual && major(description.device_number) == kLoopMajor) {
    description.transport = BlockTransport::kLoop;
  } else if (parent && parent->starts_with(*devices_root + "/")) {
    description.parent_device_name = basename_of(*parent);
    // The hardware position is the device the disk belongs to (the SCSI unit
    // at its USB port, the card in its slot), as the client reads it too.
    description.bus_path = "/sys/devices" + parent->substr(devices_root->size());
    const std::string parent_subsystem = subsystem_of(*parent);
    if (parent_subsystem == "scsi") description.transport = BlockTransport::kScsi;
    if (parent_subsystem == "mmc") description.transport = BlockTransport::kMmc;
    // Removable media that the firmware does not flag as removable (most USB
    // sticks and card readers) is recognised by the bus it hangs on.
    for (std::string ancestor = *parent; ancestor.size() > devices_root->size();
         ancestor = ancestor.substr(0, ancestor.rfind('/'))) {
      const std::string subsystem = subsystem_of(ancestor);
      if (subsystem == "usb" || subsystem == "mmc") description.ejectable = true;
      if (subsystem == "mmc" && !description.mmc_card_type) {
        RAVIK_ASSIGN_OR_RETURN(description.mmc_card_type,
                               read_mmc_card_type(ancestor, class_path));
      }
    }
  }
  RAVIK_ASSIGN_OR_RETURN(description.model,
                         read_model(reader, description.transport, is_virtual));
  RAVIK_RETURN_IF_ERROR(
      read_partitions_and_holders(directory.get(), *resolved, description));
  return description;
}

}  // namespace ravik
