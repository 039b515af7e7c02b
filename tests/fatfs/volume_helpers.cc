#include "volume_helpers.h"

namespace fatfs_test {

fatfs::Result<void> replace_file(const std::string& image, const std::string& name,
                                 const std::vector<std::uint8_t>& content) {
  FATFS_ASSIGN_OR_RETURN(stream, fatfs::FileStream::open(image));
  FATFS_ASSIGN_OR_RETURN(fs, fatfs::FileSystem::mount(stream));
  FATFS_TRY(fs.root_dir().write_file(name, content));
  return fs.unmount();
}

fatfs::Result<std::vector<std::uint8_t>> read_file(const std::string& image,
                                                   const std::string& name) {
  FATFS_ASSIGN_OR_RETURN(stream, fatfs::FileStream::open(image));
  FATFS_ASSIGN_OR_RETURN(fs, fatfs::FileSystem::mount(stream));
  FATFS_ASSIGN_OR_RETURN(file, fs.root_dir().open_file(name));
  FATFS_ASSIGN_OR_RETURN(size, file.seek(0, fatfs::SeekFrom::kEnd));
  FATFS_TRY(file.seek(0, fatfs::SeekFrom::kStart));
  std::vector<std::uint8_t> content(size);
  FATFS_TRY(file.read_exact(content));
  return content;
}

fatfs::Result<void> format_image(const std::string& image, const std::string& label) {
  FATFS_ASSIGN_OR_RETURN(stream, fatfs::FileStream::open(image));
  fatfs::FormatOptions options;
  options.volume_label = label;
  return fatfs::format_volume(stream, options);
}

}  // namespace fatfs_test
