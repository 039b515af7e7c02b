// FAT library benchmarks on sparse images in /dev/shm: writing a 1 MiB file
// and reading it back on a 256 MiB FAT32 volume, replacing a 1 MiB file
// beside a plain read of it, and mounting a 32 GiB
// FAT32 volume (boot sector, FSInfo, root directory) and listing its root.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fatfs/fatfs.h"

namespace {

// A formatted sparse image that lives as long as the benchmark.
class Image {
 public:
  Image(std::uint64_t size, const char* label) {
    std::string pattern = "/dev/shm/ravik-fatfs-bench-XXXXXX";
    const int fd = ::mkstemp(pattern.data());
    if (fd < 0) std::abort();
    ::close(fd);
    path_ = pattern;
    std::filesystem::resize_file(path_, size);
    auto stream = fatfs::FileStream::open(path_);
    fatfs::FormatOptions options;
    options.volume_label = label;
    if (!stream || !fatfs::format_volume(*stream, options)) std::abort();
  }
  ~Image() { std::filesystem::remove(path_); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

void BM_WriteAndReadBack1MiB(benchmark::State& state) {
  const Image image(256ULL << 20, "BENCH");
  std::vector<std::uint8_t> data(1 << 20);
  for (std::size_t i = 0; i < data.size(); ++i)
    data[i] = static_cast<std::uint8_t>(i * 131);
  std::vector<std::uint8_t> back(data.size());
  for (auto _ : state) {
    auto stream = fatfs::FileStream::open(image.path()).value();
    {
      auto fs = fatfs::FileSystem::mount(stream).value();
      auto file = fs.root_dir().create_file("payload.bin").value();
      if (!file.truncate() || !file.write(data) || !file.flush() || !fs.unmount()) {
        state.SkipWithError("write failed");
        break;
      }
    }
    auto fs = fatfs::FileSystem::mount(stream).value();
    auto file = fs.root_dir().open_file("payload.bin").value();
    if (!file.read_exact(back) || back != data) {
      state.SkipWithError("read back failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 2 * (1 << 20));
}
BENCHMARK(BM_WriteAndReadBack1MiB)->Unit(benchmark::kMillisecond);

// A whole-file replacement of 1 MiB by 1 MiB (copy-on-write, its content
// read back before the entry is switched), beside the baseline of one plain
// read of that content: their difference is what the replacement costs
// beyond its writes.
void BM_Replace1MiB(benchmark::State& state) {
  const Image image(256ULL << 20, "BENCH");
  std::vector<std::uint8_t> data(1 << 20);
  auto stream = fatfs::FileStream::open(image.path()).value();
  for (auto _ : state) {
    data[0] = static_cast<std::uint8_t>(data[0] + 1);
    auto fs = fatfs::FileSystem::mount(stream).value();
    if (!fs.root_dir().write_file("payload.bin", data) || !fs.unmount()) {
      state.SkipWithError("replacement failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_Replace1MiB)->Unit(benchmark::kMillisecond);

void BM_Read1MiB(benchmark::State& state) {
  const Image image(256ULL << 20, "BENCH");
  std::vector<std::uint8_t> data(1 << 20, 7);
  auto stream = fatfs::FileStream::open(image.path()).value();
  {
    auto fs = fatfs::FileSystem::mount(stream).value();
    if (!fs.root_dir().write_file("payload.bin", data) || !fs.unmount()) std::abort();
  }
  auto fs = fatfs::FileSystem::mount(stream).value();
  for (auto _ : state) {
    auto file = fs.root_dir().open_file("payload.bin").value();
    if (!file.read_exact(data)) {
      state.SkipWithError("read failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * (1 << 20));
}
BENCHMARK(BM_Read1MiB)->Unit(benchmark::kMillisecond);

void BM_Mount32GiB(benchmark::State& state) {
  const Image image(32ULL << 30, "BIG");
  auto stream = fatfs::FileStream::open(image.path()).value();
  for (auto _ : state) {
    auto fs = fatfs::FileSystem::mount(stream);
    if (!fs) {
      state.SkipWithError("mount failed");
      break;
    }
    benchmark::DoNotOptimize(fs->root_dir().list());
    if (!fs->unmount()) state.SkipWithError("unmount failed");
  }
}
BENCHMARK(BM_Mount32GiB)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
