#include "platform/linux/fake_sysfs.h"

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace ravik::testing {

namespace fs = std::filesystem;

FakeSysfs::FakeSysfs() : root_(dir_.path() + "/sys") {
  for (const char* sub : {"devices/virtual/block", "class/block", "bus/usb", "bus/scsi",
                          "bus/mmc/drivers/mmcblk", "bus/pci", "class/block"}) {
    fs::create_directories(root_ + "/" + sub);
  }
}

LinuxSystemPaths FakeSysfs::paths() const {
  return LinuxSystemPaths{.sysfs_root = root_,
                          .mountinfo_path = root_ + "/mountinfo",
                          .swaps_path = root_ + "/swaps"};
}

std::string FakeSysfs::make_device(std::string_view relative) {
  const std::string path = root_ + "/devices/" + std::string(relative);
  fs::create_directories(path);
  return path;
}

void FakeSysfs::set_subsystem(const std::string& device, std::string_view bus) {
  fs::create_symlink(root_ + "/bus/" + std::string(bus), device + "/subsystem");
}

std::string FakeSysfs::add_disk(const std::string& parent, std::string_view name,
                                std::string_view dev, std::uint64_t sectors,
                                std::uint64_t block_size) {
  const std::string disk = (parent.empty() ? root_ + "/devices/virtual" : parent) +
                           "/block/" + std::string(name);
  fs::create_directories(disk + "/queue");
  fs::create_symlink(fs::relative(disk, root_ + "/class/block"),
                     root_ + "/class/block/" + std::string(name));
  if (!parent.empty()) fs::create_symlink(parent, disk + "/device");
  write(disk, "dev", dev);
  write(disk, "size", std::to_string(sectors));
  write(disk, "queue/logical_block_size", std::to_string(block_size));
  write(disk, "diskseq", "17");
  write(disk, "ro", "0");
  write(disk, "removable", "0");
  return disk;
}

std::string FakeSysfs::add_partition(const std::string& disk, std::string_view name,
                                     std::string_view dev, int index) {
  const std::string partition = disk + "/" + std::string(name);
  fs::create_directories(partition);
  fs::create_symlink(fs::relative(partition, root_ + "/class/block"),
                     root_ + "/class/block/" + std::string(name));
  write(partition, "dev", dev);
  write(partition, "partition", std::to_string(index));
  write(partition, "size", "2048");
  write(partition, "ro", "0");
  return partition;
}

void FakeSysfs::write(const std::string& directory, std::string_view name,
                      std::string_view value) {
  write_raw(directory, name, std::string(value) + "\n");
}

void FakeSysfs::write_raw(const std::string& directory, std::string_view name,
                          std::string_view bytes) {
  const fs::path path = fs::path(directory) / name;
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void FakeSysfs::remove(const std::string& directory, std::string_view name) {
  fs::remove_all(fs::path(directory) / name);
}

}  // namespace ravik::testing
