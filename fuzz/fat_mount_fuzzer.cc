// Mounts arbitrary bytes as a FAT volume, reads every file of the root
// directory, then creates, writes and truncates a file and unmounts, on a
// private copy. Any crash, hang, sanitizer report or unbounded allocation is
// a bug: volumes come from users.
//
// Input: an 8-byte little-endian volume size, then the volume's leading
// bytes. The volume reads as zero beyond the bytes given, so a seed for a
// 40 MiB FAT32 volume needs only its non-zero prefix.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "fatfs/fatfs.h"
#include "fuzz_target.h"

namespace {

constexpr std::uint64_t kMaxVolume = 64ULL << 20;
constexpr std::uint64_t kPage = 4096;

// Zero beyond the given prefix; writes land in a page overlay.
class SparseStream final : public fatfs::Stream {
 public:
  SparseStream(std::span<const std::uint8_t> prefix, std::uint64_t size)
      : prefix_(prefix), size_(size) {}

  fatfs::Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    std::size_t done = 0;
    while (done < buffer.size() && position_ < size_) {
      const std::uint64_t page = position_ / kPage;
      const std::uint64_t within = position_ % kPage;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(
          {kPage - within, buffer.size() - done, size_ - position_}));
      copy_out(page, within, buffer.subspan(done, n));
      done += n;
      position_ += n;
    }
    return done;
  }

  fatfs::Result<std::size_t> write(std::span<const std::uint8_t> data) override {
    if (data.size() > size_ - position_) {
      return fatfs::fail(fatfs::ErrorKind::kIo, "write past the end");
    }
    std::size_t done = 0;
    while (done < data.size()) {
      const std::uint64_t page = position_ / kPage;
      const std::uint64_t within = position_ % kPage;
      const std::size_t n = static_cast<std::size_t>(
          std::min<std::uint64_t>(kPage - within, data.size() - done));
      auto it = overlay_.find(page);
      if (it == overlay_.end()) {
        std::vector<std::uint8_t> fresh(kPage);
        copy_prefix(page * kPage, fresh);
        it = overlay_.emplace(page, std::move(fresh)).first;
      }
      std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(done), n,
                  it->second.begin() + static_cast<std::ptrdiff_t>(within));
      done += n;
      position_ += n;
    }
    return data.size();
  }

  fatfs::Result<std::uint64_t> seek(std::int64_t offset, fatfs::SeekFrom from) override {
    std::int64_t base = 0;
    if (from == fatfs::SeekFrom::kCurrent) base = static_cast<std::int64_t>(position_);
    if (from == fatfs::SeekFrom::kEnd) base = static_cast<std::int64_t>(size_);
    const std::int64_t target = base + offset;
    if (target < 0 || static_cast<std::uint64_t>(target) > size_) {
      return fatfs::fail(fatfs::ErrorKind::kInvalidInput, "seek out of range");
    }
    position_ = static_cast<std::uint64_t>(target);
    return position_;
  }

  fatfs::Result<void> flush() override { return {}; }

 private:
  void copy_out(std::uint64_t page, std::uint64_t within,
                std::span<std::uint8_t> out) const {
    const auto it = overlay_.find(page);
    if (it != overlay_.end()) {
      std::copy_n(it->second.begin() + static_cast<std::ptrdiff_t>(within), out.size(),
                  out.begin());
      return;
    }
    copy_prefix(page * kPage + within, out);
  }

  void copy_prefix(std::uint64_t at, std::span<std::uint8_t> out) const {
    const std::size_t backed = at >= prefix_.size()
                                   ? 0
                                   : static_cast<std::size_t>(std::min<std::uint64_t>(
                                         out.size(), prefix_.size() - at));
    if (backed > 0) {
      std::copy_n(prefix_.begin() + static_cast<std::ptrdiff_t>(at), backed, out.begin());
    }
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(backed), out.end(), 0);
  }

  std::span<const std::uint8_t> prefix_;
  std::uint64_t size_;
  std::uint64_t position_ = 0;
  std::map<std::uint64_t, std::vector<std::uint8_t>> overlay_;
};

void read_all(fatfs::RootDir& root, const std::string& name) {
  auto file = root.open_file(name);
  if (!file) return;
  auto size = file->seek(0, fatfs::SeekFrom::kEnd);
  if (!size || !file->seek(0, fatfs::SeekFrom::kStart)) return;
  std::vector<std::uint8_t> buffer(65536);
  while (true) {
    auto count = file->read(buffer);
    if (!count || *count == 0) break;
  }
}

void write_some(fatfs::RootDir& root) {
  auto file = root.create_file("fuzzed file.txt");
  if (!file) return;
  const std::vector<std::uint8_t> data(3000, 0x5A);
  if (!file->truncate() || !file->write(data)) return;
  if (!file->seek(10, fatfs::SeekFrom::kStart) || !file->truncate()) return;
  (void)file->flush();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 8) return 0;
  std::uint64_t declared = 0;
  for (int i = 7; i >= 0; --i) declared = (declared << 8) | data[i];
  const std::span<const std::uint8_t> prefix(data + 8, size - 8);
  const std::uint64_t volume_size =
      std::min(std::max<std::uint64_t>(declared, prefix.size()), kMaxVolume);
  SparseStream stream(prefix, volume_size);
  auto fs = fatfs::FileSystem::mount(stream);
  if (!fs) return 0;
  fatfs::RootDir root = fs->root_dir();
  auto listing = root.list();
  if (!listing) return 0;
  for (const fatfs::DirListing& entry : *listing) {
    read_all(root, entry.name);
    read_all(root, entry.short_name);
  }
  write_some(root);
  (void)fs->unmount();
  return 0;
}
