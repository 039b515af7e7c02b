// SelectedDisk and DiskIdentity: the platform layer's own account of the disk
// the user chose and of the disk a backend proved it holds, and the part of a
// selection every backend matches its disk description against. The transaction
// fills a SelectedDisk from the open request and turns the DiskIdentity into
// the ready event, so backends never see the wire records. Values;
// thread-compatible.
#ifndef RAVIK_PLATFORM_SELECTED_DISK_H_
#define RAVIK_PLATFORM_SELECTED_DISK_H_

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

namespace ravik {

// The operating system a selection was made on.
enum class DiskPlatform { kMacos, kLinux };

// The disk as the user selected it: what a backend must find before it holds
// anything.
struct SelectedDisk {
  DiskPlatform platform = DiskPlatform::kMacos;
  std::string device_id;
  std::string device_path;
  std::uint64_t size_bytes = 0;
  std::optional<std::string> serial;
  std::optional<std::string> topology_path;
  std::optional<std::string> model;
  // The hold only reads: the disk is opened for reading only.
  bool read_only = false;
};

// The identity of the held disk as confirmed at open.
struct DiskIdentity {
  DiskPlatform platform = DiskPlatform::kMacos;
  std::string device_id;
  std::string device_path;
  std::uint64_t size_bytes = 0;
  std::optional<std::string> serial;
  std::optional<std::string> topology_path;
  std::optional<std::string> model;
  bool removable = false;
  bool writable = false;
  bool mounted = false;
  bool whole_device = false;
};

// The identity of a held whole disk, removable, writable and unmounted: the
// selection's platform, path and serial with the name, size, topology and
// model the backend found.
inline DiskIdentity held_whole_disk_identity(const SelectedDisk& target,
                                             std::string device_id,
                                             std::uint64_t size_bytes,
                                             std::optional<std::string> topology_path,
                                             std::optional<std::string> model) {
  return DiskIdentity{.platform = target.platform,
                      .device_id = std::move(device_id),
                      .device_path = target.device_path,
                      .size_bytes = size_bytes,
                      .serial = target.serial,
                      .topology_path = std::move(topology_path),
                      .model = std::move(model),
                      .removable = true,
                      .writable = true,
                      .mounted = false,
                      .whole_device = true};
}

// What the user selected, or what the hold confirmed: the values a backend's
// description of the disk must keep matching.
struct DiskSelection {
  std::string device_id;
  std::uint64_t size_bytes = 0;
  std::optional<std::string> topology_path;
  std::optional<std::string> model;
};

inline DiskSelection selection_of(const SelectedDisk& target) {
  return DiskSelection{.device_id = target.device_id,
                       .size_bytes = target.size_bytes,
                       .topology_path = target.topology_path,
                       .model = target.model};
}

}  // namespace ravik

#endif  // RAVIK_PLATFORM_SELECTED_DISK_H_
