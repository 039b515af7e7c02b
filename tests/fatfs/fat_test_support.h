// Helpers for the FAT library tests: sparse image files, running the
// dosfstools and mtools oracles, a Stream that fails on demand, and a fixed
// clock. Temporary directories are the shared TempDir.
#ifndef RAVIK_TESTS_FATFS_FAT_TEST_SUPPORT_H_
#define RAVIK_TESTS_FATFS_FAT_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "fatfs/fatfs.h"
#include "support/pattern_bytes.h"
#include "support/temp_dir.h"

namespace fatfs_test {

using ravik::harness::TempDir;

struct CommandResult {
  int status = -1;
  std::string output;  // standard output and standard error together
};

// Runs `command` through /bin/sh with MTOOLS_SKIP_CHECK=1 set.
CommandResult run(const std::string& command);
std::string quote(const std::string& text);

// A sparse file of `size` bytes.
void make_sparse_file(const std::string& path, std::uint64_t size);
std::vector<std::uint8_t> read_local_file(const std::string& path);
void write_local_file(const std::string& path, const std::vector<std::uint8_t>& bytes);
using ravik::testing::pattern_bytes;

// Whether `fsck.fat -n` exits 0 and prints nothing but its banner and the
// summary line; otherwise the failure carries fsck's output.
::testing::AssertionResult fsck_clean(const std::string& image);

// Contents of ::NAME as mcopy copies it out (binary, no conversion).
std::string mtools_read(const std::string& image, const std::string& name);

// Fails every read or write once its countdown reaches zero.
class FaultyStream final : public fatfs::Stream {
 public:
  explicit FaultyStream(fatfs::Stream& inner) : inner_(&inner) {}
  void fail_writes_after(int writes) { writes_left_ = writes; }
  void fail_reads_after(int reads) { reads_left_ = reads; }
  int writes() const { return writes_; }

  fatfs::Result<std::size_t> read(std::span<std::uint8_t> buffer) override;
  fatfs::Result<std::size_t> write(std::span<const std::uint8_t> data) override;
  fatfs::Result<std::uint64_t> seek(std::int64_t offset, fatfs::SeekFrom from) override {
    return inner_->seek(offset, from);
  }
  fatfs::Result<void> flush() override { return inner_->flush(); }

 private:
  fatfs::Stream* inner_;
  int writes_left_ = -1;
  int reads_left_ = -1;
  int writes_ = 0;
};

class FixedClock final : public fatfs::Clock {
 public:
  explicit FixedClock(fatfs::DateTime when) : when_(when) {}
  fatfs::DateTime now() const override { return when_; }

 private:
  fatfs::DateTime when_;
};

}  // namespace fatfs_test

#endif  // RAVIK_TESTS_FATFS_FAT_TEST_SUPPORT_H_
