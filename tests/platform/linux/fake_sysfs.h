// FakeSysfs: a directory tree shaped like sysfs (devices, class/block links,
// bus subsystems, attribute files) inside a temporary directory, so that the
// block-device description is tested without hardware. Thread-compatible.
#ifndef RAVIK_TESTS_PLATFORM_LINUX_FAKE_SYSFS_H_
#define RAVIK_TESTS_PLATFORM_LINUX_FAKE_SYSFS_H_

#include <string>
#include <string_view>

#include "platform/linux/system_paths.h"
#include "support/temp_dir.h"

namespace ravik::testing {

class FakeSysfs {
 public:
  FakeSysfs();
  FakeSysfs(const FakeSysfs&) = delete;
  FakeSysfs& operator=(const FakeSysfs&) = delete;

  LinuxSystemPaths paths() const;
  const std::string& root() const { return root_; }

  // Creates "{root}/devices/{relative}" (and parents) and returns its path.
  std::string make_device(std::string_view relative);
  // Links "{device}/subsystem" to "{root}/bus/{bus}" or "{root}/class/{bus}".
  void set_subsystem(const std::string& device, std::string_view bus);
  // Creates the block device directory "{parent}/block/{name}" (or
  // "{root}/devices/virtual/block/{name}" when `parent` is empty), its
  // class/block link, "device" link to `parent`, and the usual attributes.
  std::string add_disk(const std::string& parent, std::string_view name,
                       std::string_view dev, std::uint64_t sectors,
                       std::uint64_t block_size = 512);
  // Adds partition `name` with device number `dev` below `disk`.
  std::string add_partition(const std::string& disk, std::string_view name,
                            std::string_view dev, int index);
  // Writes an attribute file (relative to `directory`), with a line feed.
  void write(const std::string& directory, std::string_view name, std::string_view value);
  // Writes bytes exactly as given.
  void write_raw(const std::string& directory, std::string_view name,
                 std::string_view bytes);
  void remove(const std::string& directory, std::string_view name);

 private:
  harness::TempDir dir_;
  std::string root_;
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_PLATFORM_LINUX_FAKE_SYSFS_H_
