// Source frame throughput against a plain read() loop over the same pipe.
//
// A child process writes an image as 4 MiB data frames and an end frame into
// a pipe, as the application does. The parent reads it once through
// BufferedInput and SourceFrameReader into a 4 MiB consumer buffer, and once
// with a plain read() loop into a 4 MiB buffer (the same bytes, frame headers
// included). Rounds alternate so that both see the same machine load; the
// median rate of each is reported with their ratio (target: at least 0.9).
//
// Usage: protocol_source_frames_bench [MiB per round] [rounds]
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "io/unique_fd.h"
#include "protocol/buffered_input.h"
#include "protocol/source_frame_reader.h"

namespace {

using namespace ravik;
constexpr std::size_t kPayload = 4 * 1024 * 1024;

void put_length(std::uint8_t* at, std::uint32_t length) {
  at[0] = static_cast<std::uint8_t>(length >> 24);
  at[1] = static_cast<std::uint8_t>(length >> 16);
  at[2] = static_cast<std::uint8_t>(length >> 8);
  at[3] = static_cast<std::uint8_t>(length);
}

bool write_all(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Starts a child that writes `frames` data frames and an end frame; returns
// the read end.
UniqueFd start_writer(std::size_t frames, pid_t& child) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) std::abort();
  child = fork();
  if (child < 0) std::abort();
  if (child == 0) {
    close(fds[0]);
    std::vector<std::uint8_t> frame(5 + kPayload);
    put_length(frame.data(), kPayload + 1);
    frame[4] = 0;
    for (std::size_t i = 0; i < kPayload; ++i)
      frame[5 + i] = static_cast<std::uint8_t>(i * 13);
    for (std::size_t i = 0; i < frames; ++i) {
      if (!write_all(fds[1], frame.data(), frame.size())) _exit(1);
    }
    std::uint8_t end[5];
    put_length(end, 1);
    end[4] = 1;
    _exit(write_all(fds[1], end, sizeof(end)) ? 0 : 1);
  }
  close(fds[1]);
  return UniqueFd(fds[0]);
}

void reap(pid_t child) {
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "writer failed\n");
    std::exit(1);
  }
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Returns the image bytes per second through the frame reader.
double frame_reader_rate(std::size_t frames, std::uint8_t* buffer) {
  pid_t child = 0;
  BufferedInput input = BufferedInput::over_fd(start_writer(frames, child));
  SourceFrameReader reader(input, frames * kPayload);
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t total = 0;
  for (;;) {
    auto count = reader.read(std::span(buffer, kPayload));
    if (!count) {
      std::fprintf(stderr, "read failed: %s\n", count.error().describe().c_str());
      std::exit(1);
    }
    if (*count == 0) break;
    total += *count;
  }
  const double elapsed = seconds_since(start);
  reap(child);
  if (total != frames * kPayload || !reader.finished()) std::exit(1);
  return static_cast<double>(total) / elapsed;
}

// Returns the image bytes per second of a plain read() loop over the same
// stream (all bytes read, image bytes counted, like the frame reader). Like
// the frame reader's consumer, it fills the 4 MiB buffer before it starts
// over, so both write the same amount of memory.
double plain_read_rate(std::size_t frames, std::uint8_t* buffer) {
  pid_t child = 0;
  UniqueFd fd = start_writer(frames, child);
  const auto start = std::chrono::steady_clock::now();
  std::uint64_t total = 0;
  std::size_t filled = 0;
  for (;;) {
    if (filled == kPayload) filled = 0;
    const ssize_t n = ::read(fd.get(), buffer + filled, kPayload - filled);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) std::exit(1);
    if (n == 0) break;
    filled += static_cast<std::size_t>(n);
    total += static_cast<std::uint64_t>(n);
  }
  const double elapsed = seconds_since(start);
  reap(child);
  if (total != frames * (kPayload + 5) + 5) std::exit(1);
  return static_cast<double>(frames * kPayload) / elapsed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
  const int rounds = argc > 2 ? std::atoi(argv[2]) : 7;
  const std::size_t frames = std::max<std::size_t>(1, mib / 4);
  auto buffer = std::make_unique<std::uint8_t[]>(kPayload);
  std::vector<double> framed, plain;
  for (int round = 0; round < rounds; ++round) {
    framed.push_back(frame_reader_rate(frames, buffer.get()));
    plain.push_back(plain_read_rate(frames, buffer.get()));
  }
  const double framed_rate = median(framed);
  const double plain_rate = median(plain);
  std::printf("image %zu MiB in 4 MiB frames, %d rounds (median)\n", frames * 4, rounds);
  std::printf("source frame reader: %8.1f MiB/s\n", framed_rate / (1 << 20));
  std::printf("plain read() loop:   %8.1f MiB/s\n", plain_rate / (1 << 20));
  std::printf("ratio: %.3f (target >= 0.9)\n", framed_rate / plain_rate);
  return 0;
}
