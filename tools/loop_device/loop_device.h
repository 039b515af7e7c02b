// LoopDevice: a loop device attached by a test to a backing file it creates,
// detached again (by its own name, and only while it still serves that
// backing file) and the file removed when the object is destroyed, whatever
// the test's outcome. Also the small command runner the end-to-end tests use
// for losetup, partx, mkfs and mount. Thread-compatible; move-only.
//
// Shared by the tests (through tests/support/loop_device_fixture.h, which adds
// the GoogleTest side) and the benchmarks, so it depends on nothing of either.
#ifndef RAVIK_TOOLS_LOOP_DEVICE_LOOP_DEVICE_H_
#define RAVIK_TOOLS_LOOP_DEVICE_LOOP_DEVICE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ravik::testing {

struct CommandResult {
  int exit_code = -1;
  std::string output;  // standard output and standard error together
};

// Runs `argv` (PATH search) and collects its output.
CommandResult run_command(const std::vector<std::string>& argv);

class LoopDevice {
 public:
  // Creates `backing_path` with `size_bytes` zero bytes and attaches it with
  // the given logical sector size. Nothing, with the reason in `why_not`,
  // when the system cannot provide a loop device.
  static std::optional<LoopDevice> attach(const std::string& backing_path,
                                          std::uint64_t size_bytes, unsigned sector_size,
                                          std::string& why_not);

  LoopDevice(LoopDevice&& other) noexcept;
  LoopDevice& operator=(LoopDevice&&) = delete;
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;
  ~LoopDevice();

  const std::string& name() const { return name_; }  // "loopN"
  const std::string& path() const { return path_; }  // "/dev/loopN"
  const std::string& backing_path() const { return backing_path_; }
  std::uint64_t size_bytes() const { return size_bytes_; }
  // True while the kernel still serves this device from our backing file.
  bool attached_to_backing_file() const;

 private:
  LoopDevice(std::string name, std::string backing_path, std::uint64_t size_bytes);

  std::string name_;
  std::string path_;
  std::string backing_path_;
  std::uint64_t size_bytes_ = 0;
};

}  // namespace ravik::testing

#endif  // RAVIK_TOOLS_LOOP_DEVICE_LOOP_DEVICE_H_
