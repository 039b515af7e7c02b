// SelectedDisk and DiskIdentity: the platform layer's own account of the disk
// the user chose and of the disk a backend proved it holds. The transaction
// fills a SelectedDisk from the open request and turns the DiskIdentity into
// the ready event, so backends never see the wire records. Values;
// thread-compatible.
#ifndef RAVIK_PLATFORM_SELECTED_DISK_H_
#define RAVIK_PLATFORM_SELECTED_DISK_H_

#include <cstdint>
#include <optional>
#include <string>

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

}  // namespace ravik

#endif  // RAVIK_PLATFORM_SELECTED_DISK_H_
