// Direct I/O to a held loop device from aligned memory against unaligned
// memory that the device bounces through its own aligned buffer. Needs root
// and loop devices; the device is backed by /dev/shm so the medium is not the
// bottleneck and the cost of the copy shows.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "loop_device/loop_device.h"
#include "platform/aligned_buffer.h"
#include "platform/linux/open_linux_block_device.h"

namespace ravik {
namespace {

constexpr std::uint64_t kDiskBytes = 256ull * 1024 * 1024;
constexpr std::size_t kChunkBytes = 4 * 1024 * 1024;

struct Bench {
  HeldDeviceIo* device;
  std::span<std::uint8_t> memory;
};

void write_disk(benchmark::State& state, Bench bench) {
  for (auto _ : state) {
    if (!bench.device->seek(SeekFrom::start(0))) state.SkipWithError("seek failed");
    for (std::uint64_t done = 0; done < kDiskBytes; done += kChunkBytes) {
      if (!bench.device->write_all(bench.memory)) state.SkipWithError("write failed");
    }
    if (!bench.device->sync_all()) state.SkipWithError("sync failed");
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kDiskBytes));
}

void read_disk(benchmark::State& state, Bench bench) {
  for (auto _ : state) {
    if (!bench.device->seek(SeekFrom::start(0))) state.SkipWithError("seek failed");
    for (std::uint64_t done = 0; done < kDiskBytes; done += kChunkBytes) {
      if (!bench.device->read_exact(bench.memory)) state.SkipWithError("read failed");
    }
    benchmark::DoNotOptimize(bench.memory.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kDiskBytes));
}

}  // namespace
}  // namespace ravik

int main(int argc, char** argv) {
  using namespace ravik;
  benchmark::Initialize(&argc, argv);
  std::string why_not;
  const std::string backing = "/dev/shm/ravik-linux-bench-" + std::to_string(::getpid());
  auto loop = testing::LoopDevice::attach(backing, kDiskBytes, 512, why_not);
  if (!loop) {
    std::fprintf(stderr, "*** LOOP DEVICES UNAVAILABLE: %s\n", why_not.c_str());
    return 1;
  }
  SelectedDisk target;
  target.platform = DiskPlatform::kLinux;
  target.device_id = loop->name();
  target.device_path = loop->path();
  target.size_bytes = kDiskBytes;
  LinuxOpenOptions options;
  options.policy.treat_loop_devices_as_removable = true;
  auto device = open_linux_block_device(target, options);
  if (!device) {
    std::fprintf(stderr, "could not hold %s: %s\n", loop->path().c_str(),
                 device.error().message().c_str());
    return 1;
  }
  AlignedBuffer aligned(4096, kChunkBytes);
  // What std::vector hands out for a large buffer: not block aligned.
  AlignedBuffer storage(4096, kChunkBytes + 4096);
  const std::span<std::uint8_t> unaligned(storage.data() + 16, kChunkBytes);
  std::memset(aligned.data(), 0x3c, aligned.size());
  std::memset(storage.data(), 0x3c, storage.size());

  benchmark::RegisterBenchmark("Write/aligned", write_disk,
                               Bench{device->get(), aligned.span()})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Write/bounced", write_disk,
                               Bench{device->get(), unaligned})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Read/aligned", read_disk,
                               Bench{device->get(), aligned.span()})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RegisterBenchmark("Read/bounced", read_disk, Bench{device->get(), unaligned})
      ->Unit(benchmark::kMillisecond)
      ->UseRealTime();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  device->reset();
  return 0;
}
