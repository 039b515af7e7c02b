#include "desktop/disk_monitor.h"

#include <libudev.h>
#include <unistd.h>

#include <cstring>

namespace ravik::desktop {

DiskMonitor::DiskMonitor() : udev_(udev_new()) {
  if (udev_ == nullptr) return;
  // udevd announces itself through its control socket; without it, events
  // sent on the "udev" source never come.
  source_ = access("/run/udev/control", F_OK) == 0 ? "udev" : "kernel";
  monitor_ = udev_monitor_new_from_netlink(udev_, source_.c_str());
  if (monitor_ == nullptr) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(monitor_, "block", "disk") < 0 ||
      udev_monitor_enable_receiving(monitor_) < 0) {
    udev_monitor_unref(monitor_);
    monitor_ = nullptr;
  }
}

DiskMonitor::~DiskMonitor() {
  if (monitor_ != nullptr) udev_monitor_unref(monitor_);
  if (udev_ != nullptr) udev_unref(udev_);
}

int DiskMonitor::fd() const {
  return monitor_ == nullptr ? -1 : udev_monitor_get_fd(monitor_);
}

bool DiskMonitor::drain() {
  bool disk_changed = false;
  while (udev_device* device = udev_monitor_receive_device(monitor_)) {
    const char* action = udev_device_get_action(device);
    // A loop device's "change" is its backing file attached or detached.
    if (action != nullptr &&
        (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0 ||
         std::strcmp(action, "change") == 0)) {
      disk_changed = true;
    }
    udev_device_unref(device);
  }
  return disk_changed;
}

}  // namespace ravik::desktop
