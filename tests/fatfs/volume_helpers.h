// Whole-operation helpers over image files for the FAT tests: replace a
// file the way the boot-file session does, read one back, list the root.
#ifndef RAVIK_TESTS_FATFS_VOLUME_HELPERS_H_
#define RAVIK_TESTS_FATFS_VOLUME_HELPERS_H_

#include <string>
#include <vector>

#include "fatfs/fatfs.h"

namespace fatfs_test {

// RootDir::write_file, then unmount.
fatfs::Result<void> replace_file(const std::string& image, const std::string& name,
                                 const std::vector<std::uint8_t>& content);
// Open, seek to the end for the size, rewind, read exactly.
fatfs::Result<std::vector<std::uint8_t>> read_file(const std::string& image,
                                                   const std::string& name);
fatfs::Result<void> format_image(const std::string& image, const std::string& label);

}  // namespace fatfs_test

#endif  // RAVIK_TESTS_FATFS_VOLUME_HELPERS_H_
