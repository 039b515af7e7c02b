#include "fatfs/file_system.h"

#include <optional>
#include <string>

#include "fatfs/long_name.h"
#include "fatfs/replace_file.h"
#include "fatfs/short_name.h"
#include "fatfs/volume.h"

namespace fatfs {
namespace {

std::string trim_label(const ShortName& label) {
  std::string text(label.begin(), label.end());
  while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
  return text;
}

}  // namespace

Result<std::shared_ptr<Volume>> RootDir::lock() const {
  std::shared_ptr<Volume> volume = volume_.lock();
  if (!volume)
    return fail(ErrorKind::kInvalidInput, "the file system is no longer mounted");
  return volume;
}

Result<File> RootDir::open_entry(const std::shared_ptr<Volume>& volume,
                                 std::size_t index) {
  const DirEntry& entry = volume->root().entry(index);
  if (entry.is_directory())
    return fail(ErrorKind::kInvalidInput, "the name is a directory");
  const VolumeLayout& layout = volume->layout();
  const std::uint32_t first = entry.first_cluster(layout.type == FatType::kFat32);
  const std::uint32_t size = entry.size();
  bool chain_exceeds_size = false;
  if (first == 0) {
    if (size != 0) return fail(ErrorKind::kCorrupt, "a non-empty file has no clusters");
  } else {
    // The whole chain is walked once here, so a loop or a chain too short
    // for the size is reported when the file is opened, not halfway through
    // reading it.
    if (!layout.valid_cluster(first)) {
      return fail(ErrorKind::kCorrupt, "a file starts at a cluster out of range");
    }
    FATFS_ASSIGN_OR_RETURN(
        length, volume->fat().chain_length(first, layout.cluster_count + 1ULL));
    const std::uint64_t needed =
        (static_cast<std::uint64_t>(size) + layout.bytes_per_cluster - 1) /
        layout.bytes_per_cluster;
    if (needed > length) {
      return fail(ErrorKind::kCorrupt, "the file's size exceeds its cluster chain");
    }
    chain_exceeds_size = length > needed;
  }
  return File(volume, index, first, size, chain_exceeds_size);
}

Result<File> RootDir::open_file(std::string_view name) {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  FATFS_TRY(validate_file_name(name));
  const auto item = volume->root().find(name);
  if (!item) {
    return fail(ErrorKind::kNotFound,
                "the root directory has no file named \"" + std::string(name) + "\"");
  }
  return open_entry(volume, item->index);
}

Result<File> RootDir::create_file(std::string_view name) {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  FATFS_TRY(validate_file_name(name));
  if (const auto item = volume->root().find(name)) return open_entry(volume, item->index);
  DirEntry entry;
  entry.set_attributes(attr::kArchive);
  const DosTimestamp now = volume->now();
  entry.set_created(now);
  entry.set_modified(now);
  FATFS_ASSIGN_OR_RETURN(index, volume->root().add(name, entry));
  return File(volume, index, 0, 0);
}

Result<void> RootDir::write_file(std::string_view name,
                                 std::span<const std::uint8_t> data,
                                 const WriteControl& control) {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  FATFS_TRY(validate_file_name(name));
  return replace_root_file(*volume, name, data, control);
}

Result<std::vector<DirListing>> RootDir::list() const {
  FATFS_ASSIGN_OR_RETURN(volume, lock());
  std::vector<DirListing> listing;
  const RootDirectory& root = volume->root();
  for (const RootDirectory::Item& item : root.items()) {
    const DirEntry& entry = root.entry(item.index);
    DirListing out;
    out.short_name = entry.display_short_name();
    out.name = item.long_name ? utf16_to_utf8(*item.long_name) : out.short_name;
    out.is_directory = entry.is_directory();
    out.size = out.is_directory ? 0 : entry.size();
    out.modified = from_dos(entry.modified());
    listing.push_back(std::move(out));
  }
  return listing;
}

Result<FileSystem> FileSystem::mount(Stream& stream, const MountOptions& options) {
  FATFS_ASSIGN_OR_RETURN(volume, Volume::mount(stream, options));
  return FileSystem(std::shared_ptr<Volume>(std::move(volume)));
}

FileSystem::FileSystem(std::shared_ptr<Volume> volume)
    : volume_(std::move(volume)),
      type_(volume_->layout().type),
      cluster_size_(volume_->layout().bytes_per_cluster),
      cluster_count_(volume_->layout().cluster_count) {
  const auto label = volume_->root().volume_label();
  label_ = trim_label(label ? *label : volume_->layout().label);
}
FileSystem::FileSystem(FileSystem&&) noexcept = default;

FileSystem& FileSystem::operator=(FileSystem&& other) noexcept {
  if (this != &other) {
    if (volume_) (void)volume_->flush();
    volume_ = std::move(other.volume_);
    type_ = other.type_;
    cluster_size_ = other.cluster_size_;
    cluster_count_ = other.cluster_count_;
    label_ = std::move(other.label_);
  }
  return *this;
}

FileSystem::~FileSystem() {
  // The silent fallback; unmount() is the way to see a failure.
  if (volume_) (void)volume_->flush();
}

RootDir FileSystem::root_dir() { return RootDir(volume_); }

Result<void> FileSystem::flush() {
  if (!volume_) return {};
  return volume_->flush();
}

Result<void> FileSystem::unmount() {
  if (!volume_) return {};
  auto flushed = volume_->flush();
  volume_.reset();
  return flushed;
}

}  // namespace fatfs
