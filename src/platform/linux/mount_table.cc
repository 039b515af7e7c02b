#include "platform/linux/mount_table.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "platform/linux/libmount_table.h"

namespace ravik {
namespace {

HelperError unparsable() {
  return HelperError(codes::kUnmountFailed, "The mount table could not be parsed.");
}

struct CloseFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, CloseFile>;

Result<std::vector<MountEntry>> parse_stream(std::FILE* stream) {
  const MountTablePtr table = new_strict_mount_table();
  if (!table || mnt_table_parse_stream(table.get(), stream, "mountinfo") != 0) {
    return std::unexpected(unparsable());
  }
  std::vector<MountEntry> entries;
  // libmount guesses the format from the first line; anything it did not read
  // as the kernel's own table is not a mount table of this namespace.
  const bool all_kernel = for_each_mount_entry(table.get(), [&](libmnt_fs* entry) {
    const char* target = mnt_fs_get_target(entry);
    if (!mnt_fs_is_kernel(entry) || target == nullptr) return false;
    entries.push_back(MountEntry{.mount_id = mnt_fs_get_id(entry),
                                 .device_number = mnt_fs_get_devno(entry),
                                 .mount_point = target});
    return true;
  });
  if (!all_kernel) return std::unexpected(unparsable());
  return entries;
}

}  // namespace

Result<std::vector<MountEntry>> parse_mountinfo(std::string_view text) {
  if (text.empty()) return std::vector<MountEntry>();
  FilePtr stream(fmemopen(const_cast<char*>(text.data()), text.size(), "r"));
  if (!stream) {
    return fail(
        HelperError::io(codes::kUnmountFailed, "Could not read the mount table", errno));
  }
  return parse_stream(stream.get());
}

Result<std::vector<MountEntry>> read_mountinfo(const std::string& path) {
  FilePtr stream(std::fopen(path.c_str(), "re"));
  if (!stream) {
    return fail(
        HelperError::io(codes::kUnmountFailed, "Could not read the mount table", errno));
  }
  return parse_stream(stream.get());
}

}  // namespace ravik
