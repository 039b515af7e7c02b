// A thin feeder for benchmarks of the testing helper: it plays the
// application's part of an image write and verification without hashing
// anything itself (the digest is given, as a published checksum would be),
// splicing the image file into the helper's input behind each frame head.
// It reports the wall time of the phases, the helper's peak RSS, and the CPU
// time of each helper thread (sampled from /proc while the helper runs), so
// that a benchmark shows where the time goes.
//
// Usage:
//   helper_feeder HELPER TARGET IMAGE SHA256 [--prefix BYTES] [--write-only]
//                 [--cgroup DIR]
// With --cgroup the helper joins the v1 cgroup DIR (cgroup.procs) before it
// starts, e.g. a blkio group that throttles the target.
// Output: one line of key=value pairs.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "job/messages.h"
#include "job/target_description.h"
#include "job/wire.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace ravik::job;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "helper_feeder: %s\n", what.c_str());
  std::exit(1);
}

void write_all(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) die("write to the helper failed");
    bytes += n;
    size -= static_cast<std::size_t>(n);
  }
}

void write_all(int fd, const std::string& text) {
  write_all(fd, text.data(), text.size());
}

class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  bool next(std::string& line) {
    for (;;) {
      const auto end = pending_.find('\n');
      if (end != std::string::npos) {
        line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return true;
      }
      char chunk[65536];
      const ssize_t n = ::read(fd_, chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      pending_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  int fd_;
  std::string pending_;
};

// The kind of the first event whose kind is not "progress".
std::string await_event(LineReader& reader) {
  std::string line;
  while (reader.next(line)) {
    auto event = parse_event_line(line);
    if (!event) die("malformed helper line: " + line);
    if (event->kind() != "progress") {
      if (event->kind() == "error" || event->kind() == "sourceAborted") {
        die("helper failed: " + line);
      }
      return event->kind();
    }
  }
  die("the helper ended early");
}

// CPU seconds per helper thread name, the largest value seen per thread.
class ThreadSampler {
 public:
  explicit ThreadSampler(pid_t pid) : pid_(pid), thread_([this] { run(); }) {}
  ~ThreadSampler() { stop(); }
  void stop() {
    done_ = true;
    if (thread_.joinable()) thread_.join();
  }
  std::map<std::string, double> by_name() const {
    std::map<std::string, double> totals;
    for (const auto& [tid, sample] : seen_) totals[sample.first] += sample.second;
    return totals;
  }

 private:
  void run() {
    const double tick = static_cast<double>(::sysconf(_SC_CLK_TCK));
    while (!done_) {
      const std::string base = "/proc/" + std::to_string(pid_) + "/task";
      std::error_code error;
      for (const auto& entry : std::filesystem::directory_iterator(base, error)) {
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const auto open = text.find('(');
        const auto close = text.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        std::istringstream fields(text.substr(close + 2));
        std::string field;
        double utime = 0, stime = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i) {
          if (i == 14) utime = std::stod(field);
          if (i == 15) stime = std::stod(field);
        }
        const std::string name = text.substr(open + 1, close - open - 1);
        auto& sample = seen_[entry.path().filename().string()];
        sample.first = name;
        sample.second = std::max(sample.second, (utime + stime) / tick);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  pid_t pid_;
  std::atomic<bool> done_{false};
  std::map<std::string, std::pair<std::string, double>> seen_;
  std::thread thread_;
};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

}  // namespace

int main(int argc, char** argv) {
  if (argc < 5) {
    die("usage: helper_feeder HELPER TARGET IMAGE SHA256 [--prefix BYTES] "
        "[--write-only] [--cgroup DIR]");
  }
  const std::string helper = argv[1], target = argv[2], image = argv[3], digest = argv[4];
  std::uint64_t prefix = 0;
  bool write_only = false;
  std::string cgroup;
  for (int i = 5; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--prefix" && i + 1 < argc) {
      prefix = std::stoull(argv[++i]);
    } else if (arg == "--write-only") {
      write_only = true;
    } else if (arg == "--cgroup" && i + 1 < argc) {
      cgroup = argv[++i];
    } else {
      die("unknown argument " + arg);
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  const int image_fd = ::open(image.c_str(), O_RDONLY | O_CLOEXEC);
  if (image_fd < 0) die("cannot open the image");
  const auto image_size = static_cast<std::uint64_t>(::lseek(image_fd, 0, SEEK_END));
  auto described = describe_target(target);
  if (!described) die(described.error().message());

  const auto started = Clock::now();
  int to_helper[2], from_helper[2];
  if (::pipe2(to_helper, O_CLOEXEC) != 0 || ::pipe2(from_helper, O_CLOEXEC) != 0) {
    die("pipe failed");
  }
  const pid_t pid = ::fork();
  if (pid < 0) die("fork failed");
  if (pid == 0) {
    if (!cgroup.empty()) {
      std::ofstream(cgroup + "/cgroup.procs") << ::getpid() << std::flush;
    }
    ::dup2(to_helper[0], STDIN_FILENO);
    ::dup2(from_helper[1], STDOUT_FILENO);
    ::execl(helper.c_str(), helper.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(to_helper[0]);
  ::close(from_helper[1]);
  const int input = to_helper[1];
  LineReader output(from_helper[0]);
  ThreadSampler sampler(pid);

  OpenWriteFields open{
      .ids = {.request_id = "bench", .session_id = "bench", .task_id = "bench"},
      .target = described->fields,
      .bytes_total = image_size,
      .sha256 = digest,
      .tail_policy = "zero-pad-sector",
      .protected_prefix_bytes = prefix,
      .allow_regular_file = described->regular_file};
  write_all(input, control_frame(open_write_message(open)));
  if (await_event(output) != "ready") die("no ready event");
  const auto ready = Clock::now();

  // The helper answers while it reads: its events are taken on a thread.
  std::string write_end;
  std::thread events([&] { write_end = await_event(output); });
  for (std::uint64_t sent = 0; sent < image_size;) {
    const auto payload = static_cast<std::size_t>(
        std::min<std::uint64_t>(kMaxSourcePayload, image_size - sent));
    write_all(input, data_frame_head(payload));
    auto offset = static_cast<loff_t>(sent);
    for (std::size_t left = payload; left > 0;) {
      const ssize_t n = ::splice(image_fd, &offset, input, nullptr, left,
                                 SPLICE_F_MORE | SPLICE_F_MOVE);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) die("splice failed");
      left -= static_cast<std::size_t>(n);
    }
    sent += payload;
  }
  write_all(input, end_frame());
  events.join();
  if (write_end != "written") die("unexpected event " + write_end);
  const auto written = Clock::now();

  auto verified = written;
  if (!write_only) {
    write_all(input, control_frame(verify_message("verify-1")));
    std::string line;
    for (;;) {
      if (!output.next(line)) die("the helper ended during verification");
      auto event = parse_event_line(line);
      if (event && event->kind() == "verifyResult") {
        if (event->flag("matches") != true) die("verification did not match: " + line);
        break;
      }
      if (!event || event->kind() != "progress") die("unexpected: " + line);
    }
    verified = Clock::now();
  }
  write_all(input, control_frame(simple_message("close", "close-1")));
  ::close(input);
  std::string line;
  while (output.next(line)) {
  }
  int status = 0;
  struct rusage usage {};
  if (::wait4(pid, &status, 0, &usage) != pid) die("wait failed");
  const auto ended = Clock::now();
  sampler.stop();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("the helper failed");

  std::printf("open_s=%.3f write_s=%.3f verify_s=%.3f total_s=%.3f helper_maxrss_kib=%ld",
              seconds(ready - started), seconds(written - ready),
              seconds(verified - written), seconds(ended - started), usage.ru_maxrss);
  for (const auto& [name, cpu] : sampler.by_name()) {
    std::printf(" cpu[%s]=%.3f", name.c_str(), cpu);
  }
  std::printf("\n");
  return 0;
}
