// ScratchDir: a private mkdtemp directory for one test, removed with its
// contents afterwards, so parallel test runs never share files.
#ifndef RAVIK_TESTS_PLATFORM_FILE_SCRATCH_DIR_H_
#define RAVIK_TESTS_PLATFORM_FILE_SCRATCH_DIR_H_

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace ravik::testing {

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "ravik-file-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      ADD_FAILURE() << "mkdtemp failed";
      std::abort();
    }
    path_ = pattern;
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::string& path() const { return path_; }
  std::string file(std::string_view name) const {
    return path_ + "/" + std::string(name);
  }
  std::string write_file(std::string_view name, std::string_view contents) const {
    const std::string target = file(name);
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    return target;
  }

 private:
  std::string path_;
};

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_PLATFORM_FILE_SCRATCH_DIR_H_
