#pragma once

#include <memory>
#include <string>

struct udev;
struct udev_monitor;

namespace ravik::desktop {

// Block-device additions and removals as libudev reports them: through udevd
// where it runs, or straight from the kernel's uevents where it does not
// (containers, minimal systems), so that a stick plugged in or pulled shows up
// either way. The owner polls fd() and calls drain() when it is readable.
class DiskMonitor {
 public:
  DiskMonitor();
  ~DiskMonitor();
  DiskMonitor(const DiskMonitor&) = delete;
  DiskMonitor& operator=(const DiskMonitor&) = delete;

  [[nodiscard]] bool ok() const { return monitor_ != nullptr; }
  [[nodiscard]] int fd() const;
  [[nodiscard]] const std::string& source() const { return source_; }
  // Reads every pending event; true when one was about a whole disk.
  [[nodiscard]] bool drain();

 private:
  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  std::string source_;
};

}  // namespace ravik::desktop
