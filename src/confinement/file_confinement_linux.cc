// Landlock layers. Each layer handles every access right the kernel's
// interface version knows, so that nothing is left open by omission, and
// grants back only what the mode's moment needs, path by path.
#include <dirent.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

#include "confinement/confinement.h"
#include "confinement/file_confinement.h"
#include "io/unique_fd.h"

namespace ravik {
namespace {

// Rights and flags of interface versions newer than the system's headers.
constexpr std::uint64_t kAccessTruncate = 1ULL << 14;
constexpr std::uint64_t kAccessIoctlDevice = 1ULL << 15;
constexpr std::uint64_t kAccessNetBindTcp = 1ULL << 0;
constexpr std::uint64_t kAccessNetConnectTcp = 1ULL << 1;
constexpr std::uint64_t kScopeAbstractUnixSocket = 1ULL << 0;
constexpr std::uint64_t kScopeSignal = 1ULL << 1;

// The ruleset attribute as the newest interface knows it; older kernels are
// given the prefix they know.
struct RulesetAttributes {
  std::uint64_t handled_access_fs = 0;
  std::uint64_t handled_access_net = 0;
  std::uint64_t scoped = 0;
};

constexpr std::uint64_t kRead = LANDLOCK_ACCESS_FS_READ_FILE;
constexpr std::uint64_t kList = LANDLOCK_ACCESS_FS_READ_DIR;
constexpr std::uint64_t kWrite = LANDLOCK_ACCESS_FS_WRITE_FILE;
// Rights that Landlock accepts on a rule for a file rather than a directory.
constexpr std::uint64_t kFileRights =
    LANDLOCK_ACCESS_FS_EXECUTE | kRead | kWrite | kAccessTruncate | kAccessIoctlDevice;
// What the maintenance modes do in their own directory: their files (lock,
// lease state, each published under a private name and renamed into place
// within the directory) and the guardian's socket. No execution, no device,
// fifo or symbolic link, no directory, nothing moved in from elsewhere.
constexpr std::uint64_t kOwnFiles =
    kRead | kList | kWrite | kAccessTruncate | LANDLOCK_ACCESS_FS_MAKE_REG |
    LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_SOCK;
// Provisioning also publishes the directory itself in the base directory.
constexpr std::uint64_t kProvisioning =
    kOwnFiles | LANDLOCK_ACCESS_FS_MAKE_DIR | LANDLOCK_ACCESS_FS_REMOVE_DIR;

struct Grant {
  std::string path;
  std::uint64_t access = 0;
};

int abi_version() {
  const long version =
      ::syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
  return version < 0 ? 0 : static_cast<int>(version);
}

std::uint64_t handled_file_access(int abi) {
  std::uint64_t access = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // version 1
  if (abi >= 2) access |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) access |= kAccessTruncate;
  if (abi >= 5) access |= kAccessIoctlDevice;
  return access;
}

// Grants `access` below `path` (or on the file itself). A path that does
// not exist, or whose last component is a symbolic link (every user of these
// paths opens them without following one), grants nothing; nor does a grant
// the kernel refuses: the layer then keeps that path out of reach too. Only
// rights the layer handles can be granted, and only file rights on a file.
void add_grant(int ruleset, const Grant& grant, std::uint64_t handled) {
  UniqueFd target(::open(grant.path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
  struct stat status {};
  if (!target || ::fstat(target.get(), &status) != 0 || S_ISLNK(status.st_mode)) return;
  std::uint64_t access = grant.access & handled;
  if (!S_ISDIR(status.st_mode)) access &= kFileRights;
  if (access == 0) return;
  landlock_path_beneath_attr rule{.allowed_access = access, .parent_fd = target.get()};
  (void)::syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0);
}

struct Layer {
  // A layer that handles no file access leaves unmounting possible.
  bool confine_file_access = true;
  // The installer modes prove their owner alive with a null signal.
  bool confine_signals = true;
};

// One layer: every right the kernel knows handled, `grants` given back.
bool add_layer(Layer layer, const std::vector<Grant>& grants) {
  // The sanitizer runtimes read /proc/self/maps and start their symbolizer
  // where no layer would let them; their trees run without layers, as they
  // run without the system-call filter.
  if (!system_call_filter_supported()) return false;
  const int abi = abi_version();
  if (abi < 1) return false;
  RulesetAttributes attributes;
  std::size_t size = sizeof(attributes.handled_access_fs);
  if (layer.confine_file_access) attributes.handled_access_fs = handled_file_access(abi);
  if (abi >= 4) {
    // No mode speaks TCP; the system-call filter already refuses most
    // sockets, this keeps it so for any that slips through.
    attributes.handled_access_net = kAccessNetBindTcp | kAccessNetConnectTcp;
    size = offsetof(RulesetAttributes, scoped);
  }
  if (abi >= 6) {
    // Other processes' abstract sockets may not be reached, nor (but by the
    // installer modes) other processes signalled; processes this one starts
    // are inside the layer and remain reachable.
    attributes.scoped = kScopeAbstractUnixSocket;
    if (layer.confine_signals) attributes.scoped |= kScopeSignal;
    size = sizeof(attributes);
  }
  if (attributes.handled_access_fs == 0 && attributes.handled_access_net == 0 &&
      attributes.scoped == 0) {
    return false;
  }
  UniqueFd ruleset(
      static_cast<int>(::syscall(SYS_landlock_create_ruleset, &attributes, size, 0U)));
  if (!ruleset) return false;
  for (const Grant& grant : grants)
    add_grant(ruleset.get(), grant, attributes.handled_access_fs);
  // Normally already set by confine_process; required by the kernel for a
  // process without CAP_SYS_ADMIN.
  (void)::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0);
  return ::syscall(SYS_landlock_restrict_self, ruleset.get(), 0U) == 0;
}

// Set once confine_files added a layer, so that later stages know whether
// to act.
bool files_confined = false;

bool exists(const std::string& path) {
  struct stat status {};
  return !path.empty() && ::lstat(path.c_str(), &status) == 0;
}

// The rules of every mode before its work narrows them further.
std::vector<Grant> grants_of(FileScope scope, const FileScopePaths& paths) {
  switch (scope) {
    case FileScope::kNothing:
    case FileScope::kDeviceSessionStart:
      return {};
    case FileScope::kMaintenanceDirectory: {
      std::vector<Grant> grants = {
          {.path = "/dev/urandom", .access = kRead},
          // The guardian's standard streams once it is detached.
          {.path = "/dev/null", .access = kRead | kWrite},
          {.path = "/proc", .access = kRead | kList},
      };
      if (exists(paths.maintenance_directory)) {
        grants.push_back({.path = paths.maintenance_base_directory, .access = kList});
        grants.push_back({.path = paths.maintenance_directory, .access = kOwnFiles});
      } else {
        grants.push_back(
            {.path = paths.maintenance_base_directory, .access = kProvisioning});
      }
      return grants;
    }
    case FileScope::kCallerLockFile:
      // Whatever the path names is opened for reading and writing and
      // refused afterwards for what it is; nothing else is reachable.
      return {{.path = paths.lock_file, .access = kRead | kWrite}};
  }
  return {};
}

}  // namespace

int file_confinement_abi() { return abi_version(); }

bool confine_files(FileScope scope, const FileScopePaths& paths) {
  files_confined = true;
  const Layer layer{.confine_file_access = scope != FileScope::kDeviceSessionStart,
                    .confine_signals = scope != FileScope::kMaintenanceDirectory};
  return add_layer(layer, grants_of(scope, paths));
}

void close_file_access() {
  if (files_confined) (void)add_layer(Layer{}, {});
}

namespace {

// Identity, mounts, swaps and the departure of the disk, for every moment of
// a device session.
std::vector<Grant> device_session_reads() {
  return {
      {.path = "/sys", .access = kRead | kList},
      {.path = "/proc", .access = kRead | kList},
  };
}

// What a device session may do with a disk's node: open it for reading and
// writing, and use the device's ioctls on what it opened.
constexpr std::uint64_t kDiskNode = kRead | kWrite | kAccessIoctlDevice;

// `node` and the release controls of its disk.
void grant_disk_node(std::vector<Grant>& grants, const std::string& node,
                     ReleaseControls release_controls) {
  grants.push_back({.path = node, .access = kDiskNode});
  if (release_controls == nullptr) return;
  const std::string_view name = std::string_view(node).substr(node.rfind('/') + 1);
  for (std::string& control : release_controls(name)) {
    grants.push_back({.path = std::move(control), .access = kWrite});
  }
}

}  // namespace

bool confine_files_to_block_devices(std::string_view regular_file_targets,
                                    ReleaseControls release_controls) {
  std::vector<Grant> grants = device_session_reads();
  grants.push_back({.path = "/dev", .access = kRead | kList});
  // One rule per node rather than /dev as a whole, which also holds shared
  // memory and queues as regular files.
  if (DIR* listing = ::opendir("/sys/class/block")) {
    while (const dirent* entry = ::readdir(listing)) {
      const std::string node = "/dev/" + std::string(entry->d_name);
      struct stat status {};
      if (entry->d_name[0] != '.' && ::lstat(node.c_str(), &status) == 0 &&
          S_ISBLK(status.st_mode)) {
        grant_disk_node(grants, node, release_controls);
      }
    }
    ::closedir(listing);
  }
  if (!regular_file_targets.empty()) {
    grants.push_back(
        {.path = std::string(regular_file_targets), .access = kDiskNode | kList});
  }
  return add_layer(Layer{}, grants);
}

bool confine_files_to_named_node(std::string_view node,
                                 ReleaseControls release_controls) {
  std::vector<Grant> grants = device_session_reads();
  grant_disk_node(grants, std::string(node), release_controls);
  return add_layer(Layer{}, grants);
}

bool confine_files_to_held_disk(std::span<const std::string> release_attributes) {
  std::vector<Grant> grants = device_session_reads();
  for (const std::string& attribute : release_attributes) {
    grants.push_back({.path = attribute, .access = kWrite});
  }
  return add_layer(Layer{}, grants);
}

}  // namespace ravik
