#include "job/disk_listing.h"

#include <algorithm>
#include <filesystem>
#include <nlohmann/json.hpp>

#include "error/byte_size.h"
#include "job/event_pump.h"
#include "job/plain_text.h"
#include "platform/linux/block_device_description.h"
#include "platform/linux/disk_offer.h"

namespace ravik::job {
namespace {

std::string transport_name(const BlockDeviceDescription& disk) {
  switch (disk.transport) {
    case BlockTransport::kLoop:
      return "loop";
    case BlockTransport::kScsi:
      return disk.ejectable ? "usb" : "scsi";
    case BlockTransport::kMmc:
      if (disk.mmc_card_type == "SD") return "sd";
      if (disk.mmc_card_type == "MMC") return "emmc";
      return "mmc";
    case BlockTransport::kOther:
      break;
  }
  return "other";
}

ListedDisk listed(const BlockDeviceDescription& disk, const SystemUse& use,
                  RemovabilityPolicy policy) {
  ListedDisk entry;
  entry.device_path = "/dev/" + disk.kernel_name;
  entry.model = disk.model;
  entry.size_bytes = disk.size_bytes;
  entry.transport = transport_name(disk);
  const std::vector<dev_t> numbers = disk_device_numbers(disk);
  for (const MountEntry& mount : use.mounts) {
    if (std::ranges::find(numbers, mount.device_number) != numbers.end()) {
      entry.mounted.push_back(mount.mount_point);
    }
  }
  const Result<void> offer = check_disk_offered(disk, use, policy);
  entry.offered = offer.has_value() && disk.size_bytes > 0;
  if (!offer && !disk.writable) {
    // A lock switch or a read-only medium: the helper's reason would not
    // say which of its checks failed.
    entry.reason = "It is write-protected (read-only): nothing can be written to it.";
  } else if (!offer) {
    entry.reason = offer.error().message();
  } else if (disk.size_bytes == 0) {
    entry.reason = "It holds no medium.";
  }
  return entry;
}

}  // namespace

Result<std::vector<ListedDisk>> list_disks(const LinuxSystemPaths& paths,
                                           RemovabilityPolicy policy) {
  RAVIK_ASSIGN_OR_RETURN(const SystemUse use, read_system_use(paths));
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry :
       std::filesystem::directory_iterator(paths.sysfs_root + "/class/block", error)) {
    names.push_back(entry.path().filename().string());
  }
  if (error) {
    return fail(codes::kDeviceNotRemovable,
                "Could not read the block devices in " + paths.sysfs_root + ".");
  }
  std::ranges::sort(names);
  std::vector<ListedDisk> disks;
  for (const std::string& name : names) {
    auto disk = describe_block_device(name, paths);
    if (!disk) {
      ListedDisk unreadable;
      unreadable.device_path = "/dev/" + name;
      unreadable.reason = disk.error().message();
      disks.push_back(std::move(unreadable));
    } else if (disk->whole) {
      disks.push_back(listed(*disk, use, policy));
    }
  }
  return disks;
}

Result<ListedDisk> list_disk(const std::string& kernel_name,
                             const LinuxSystemPaths& paths, RemovabilityPolicy policy) {
  RAVIK_ASSIGN_OR_RETURN(const SystemUse use, read_system_use(paths));
  RAVIK_ASSIGN_OR_RETURN(const BlockDeviceDescription disk,
                         describe_block_device(kernel_name, paths));
  return listed(disk, use, policy);
}

std::string format_disk_list(const std::vector<ListedDisk>& disks, bool all, bool json) {
  std::string text;
  std::vector<std::vector<std::string>> rows = {
      {"DEVICE", "SIZE", "TRANSPORT", "MODEL", "MOUNTED", all ? "OFFERED" : ""}};
  for (const ListedDisk& disk : disks) {
    if (!disk.offered && !all) continue;
    // A loop device with nothing attached is no disk at all.
    if (disk.transport == "loop" && disk.size_bytes == 0) continue;
    if (json) {
      nlohmann::ordered_json object = {
          {"devicePath", disk.device_path}, {"model", disk.model},
          {"sizeBytes", disk.size_bytes},   {"transport", disk.transport},
          {"mounted", disk.mounted},        {"offered", disk.offered}};
      if (!disk.offered) object["reason"] = disk.reason;
      text += object.dump() + "\n";
      continue;
    }
    std::string mounted;
    for (const std::string& point : disk.mounted) {
      mounted += (mounted.empty() ? "" : ",") + point;
    }
    rows.push_back({disk.device_path, format_bytes(disk.size_bytes), disk.transport,
                    disk.model.empty() ? "-" : disk.model,
                    mounted.empty() ? "-" : mounted,
                    all ? (disk.offered ? "yes" : "no: " + disk.reason) : ""});
  }
  if (json) return text;
  if (rows.size() == 1) return all ? "No disk found.\n" : "No removable disk found.\n";
  if (!all) {
    for (auto& row : rows) row.pop_back();
  }
  for (const std::string& line : format_table(rows)) text += line + "\n";
  return text;
}

int run_list_disks(const JobOptions& options, JobObserver& observer) {
  auto disks = list_disks(LinuxSystemPaths{},
                          {.treat_loop_devices_as_removable = options.list_loop_devices});
  if (!disks) {
    observer.notice(NoticeKind::kDiagnostic,
                    "ravik-device-client: " + disks.error().message());
    return 1;
  }
  std::string text = format_disk_list(*disks, options.list_all, options.json);
  if (!text.empty() && text.back() == '\n') text.pop_back();
  if (!text.empty()) observer.notice(NoticeKind::kResult, text);
  return 0;
}

}  // namespace ravik::job
