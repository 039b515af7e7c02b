#include "loop_device/loop_device.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string_view>

#include "io/unique_fd.h"

extern char** environ;

namespace ravik::testing {

CommandResult run_command(const std::vector<std::string>& argv) {
  CommandResult result;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  UniqueFd read_end(pipe_fds[0]);
  UniqueFd write_end(pipe_fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), 1);
  posix_spawn_file_actions_adddup2(&actions, write_end.get(), 2);
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int spawned =
      ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  write_end.reset();
  if (spawned != 0) {
    result.output = "could not run " + argv[0];
    return result;
  }
  char chunk[4096];
  for (;;) {
    const ssize_t count = ::read(read_end.get(), chunk, sizeof(chunk));
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    result.output.append(chunk, static_cast<std::size_t>(count));
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

std::optional<LoopDevice> LoopDevice::attach(const std::string& backing_path,
                                             std::uint64_t size_bytes,
                                             unsigned sector_size, std::string& why_not) {
  {
    UniqueFd file(::open(backing_path.c_str(),
                         O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file || ::ftruncate(file.get(), static_cast<off_t>(size_bytes)) != 0) {
      why_not = "could not create the backing file " + backing_path;
      ::unlink(backing_path.c_str());
      return std::nullopt;
    }
  }
  const auto attached = run_command({"losetup", "--find", "--show", "--sector-size",
                                     std::to_string(sector_size), backing_path});
  std::string device = attached.output;
  while (!device.empty() && device.back() == '\n') device.pop_back();
  if (attached.exit_code != 0 || !device.starts_with("/dev/loop")) {
    why_not = "losetup could not attach a loop device: " + attached.output;
    ::unlink(backing_path.c_str());
    return std::nullopt;
  }
  return LoopDevice(device.substr(5), backing_path, size_bytes);
}

LoopDevice::LoopDevice(std::string name, std::string backing_path,
                       std::uint64_t size_bytes)
    : name_(std::move(name)),
      path_("/dev/" + name_),
      backing_path_(std::move(backing_path)),
      size_bytes_(size_bytes) {}

LoopDevice::LoopDevice(LoopDevice&& other) noexcept
    : name_(std::move(other.name_)),
      path_(std::move(other.path_)),
      backing_path_(std::move(other.backing_path_)),
      size_bytes_(other.size_bytes_) {
  other.name_.clear();
  other.backing_path_.clear();
}

bool LoopDevice::attached_to_backing_file() const {
  if (name_.empty()) return false;
  std::ifstream in("/sys/class/block/" + name_ + "/loop/backing_file");
  std::string text;
  std::getline(in, text);
  return !text.empty() && text == backing_path_;
}

LoopDevice::~LoopDevice() {
  if (name_.empty()) return;
  // Detach only our own attachment: after a release the number may already
  // serve someone else's file.
  if (attached_to_backing_file()) {
    (void)run_command({"partx", "-d", path_});
    (void)run_command({"losetup", "-d", path_});
  }
  ::unlink(backing_path_.c_str());
}

}  // namespace ravik::testing
