// Detaching a released disk from the system, by transport: a loop device is
// unbound from its backing file, a SCSI disk (USB mass storage included) is
// stopped, ejected and deleted, an MMC card's block driver is unbound; then
// the departure of exactly the held disk is awaited. Not thread-safe; used by
// the thread that holds the disk.
#ifndef RAVIK_PLATFORM_LINUX_DISK_DETACH_H_
#define RAVIK_PLATFORM_LINUX_DISK_DETACH_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error/helper_error.h"
#include "io/unique_fd.h"
#include "platform/linux/system_paths.h"

namespace ravik {

// LOOP_CLR_FD on a descriptor of the loop device. The kernel defers the
// detach to the last close while other openers remain; wait_for_departure
// observes when it happened. SAFE_RELEASE_FAILED "Could not detach the loop
// device" with the system error.
Result<void> detach_loop_device(int fd);

// PREVENT ALLOW MEDIUM REMOVAL (allow) and START STOP UNIT (stop, eject)
// through SG_IO. SAFE_RELEASE_FAILED "Could not stop and eject the selected
// disk" with the system error when the kernel refuses the request; a device
// that answers with a SCSI error is not a failure here (many USB sticks do
// not implement ejection), because the removal that follows is what is
// confirmed.
Result<void> stop_and_eject_scsi_disk(int fd);

// Writes "1" to the "delete" attribute of the SCSI device whose sysfs
// directory `device_directory` is (see pin_disk_device), which removes exactly
// that device from the system, whatever name its disk has by then. A device
// that already left (ENOENT) is not an error here: the departure proof that
// follows confirms it. SAFE_RELEASE_FAILED "Could not remove the selected disk
// from the system" with the system error.
Result<void> remove_scsi_disk(int device_directory);

// The held disk, by the facts that tell it from whatever takes its name next.
struct DepartingDisk {
  std::string kernel_name;
  dev_t device_number = 0;
  std::uint64_t disk_sequence = 0;
  bool is_loop = false;
  // When not -1, the held disk's device directory (see pin_disk_device),
  // borrowed: the departure is then judged there alone.
  int device_directory = -1;
};

// Opens the sysfs directory of the device below the disk (the SCSI unit, the
// MMC card: "{sysfs}/class/block/NAME/device" resolved) and proves, through
// that directory, that it holds the disk by its device number and disk
// sequence. sysfs never gives a removed device's directory to another
// device, so the descriptor denotes exactly the held disk's device from then
// on: a removable SCSI disk whose medium the kernel sees change (our own
// eject raises the disk sequence) is still deleted and awaited by it, and a
// device that later takes the same name and path is never touched.
// SAFE_RELEASE_FAILED "The selected disk changed before it could be
// detached." when the directory does not hold the held disk.
Result<UniqueFd> pin_disk_device(const DepartingDisk& disk,
                                 const LinuxSystemPaths& paths);

// The MMC block driver's unbind file.
std::string mmc_unbind_path(const LinuxSystemPaths& paths);

// The sysfs controls a release of the disk `kernel_name` may write, whatever
// its transport: its SCSI device's "delete" and the MMC driver's unbind
// file. Those the disk does not have name nothing.
std::vector<std::string> release_controls_of(std::string_view kernel_name);

// Writes the card's device name to the MMC block driver's unbind file, which
// goes by name: only while the pinned card directory (`disk.device_directory`)
// still holds the disk with its device number and disk sequence (nothing
// ejects a card before this, so its sequence stands). SAFE_RELEASE_FAILED
// "The selected disk changed before it could be detached." or "Could not
// unbind the selected card from its block driver" with the system error.
Result<void> unbind_mmc_card(const DepartingDisk& disk, const std::string& card_name,
                             const LinuxSystemPaths& paths);

// Polls sysfs every 50 ms until the disk is gone. With a pinned device
// directory: once that directory holds the disk no more (its "block/NAME"
// vanished, with the device or the driver's unbind); a changed disk sequence
// is no proof there, since an ejected medium changes it while the disk stays.
// Otherwise by name: its entry vanished (ENOENT) or now belongs to another
// medium (other device number or disk sequence), or, for a loop device, its
// "loop" entry vanished. Any other sysfs error is no proof of departure:
// polling goes on. After `limit`: SAFE_RELEASE_FAILED "Could not confirm that
// the selected disk detached" with the error when the last poll could not
// read sysfs, else TIMEOUT "The kernel did not complete the device operation
// within 30 seconds.".
Result<void> wait_for_departure(
    const DepartingDisk& disk, const LinuxSystemPaths& paths,
    std::chrono::steady_clock::duration limit = std::chrono::seconds(30));

}  // namespace ravik

#endif  // RAVIK_PLATFORM_LINUX_DISK_DETACH_H_
