#include "fat_test_support.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace fatfs_test {

std::string quote(const std::string& text) {
  std::string out = "'";
  for (const char c : text) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

CommandResult run(const std::string& command) {
  CommandResult result;
  const std::string full = "MTOOLS_SKIP_CHECK=1 " + command + " 2>&1";
  FILE* pipe = ::popen(full.c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    result.output.append(buffer, n);
  const int status = ::pclose(pipe);
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

void make_sparse_file(const std::string& path, std::uint64_t size) {
  { std::ofstream create(path, std::ios::binary); }
  std::filesystem::resize_file(path, size);
}

std::vector<std::uint8_t> read_local_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
}

void write_local_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

::testing::AssertionResult fsck_clean(const std::string& image) {
  const CommandResult result = run("fsck.fat -n " + quote(image));
  std::istringstream lines(result.output);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) ++count;
  // A clean volume gets the version banner and the summary line only.
  if (result.status == 0 && count == 2) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "fsck.fat -n exited " << result.status << ":\n"
                                       << result.output;
}

std::string mtools_read(const std::string& image, const std::string& name) {
  const std::string path = image + ".mtype-out";
  const CommandResult result =
      run("mcopy -n -i " + quote(image) + " " + quote("::" + name) + " " + quote(path));
  if (result.status != 0) return "<mcopy failed: " + result.output + ">";
  const auto bytes = read_local_file(path);
  std::filesystem::remove(path);
  return std::string(bytes.begin(), bytes.end());
}

fatfs::Result<std::size_t> FaultyStream::read(std::span<std::uint8_t> buffer) {
  if (reads_left_ == 0)
    return fatfs::fail(fatfs::ErrorKind::kIo, "injected read failure");
  if (reads_left_ > 0) --reads_left_;
  return inner_->read(buffer);
}

fatfs::Result<std::size_t> FaultyStream::write(std::span<const std::uint8_t> data) {
  if (writes_left_ == 0)
    return fatfs::fail(fatfs::ErrorKind::kIo, "injected write failure");
  if (writes_left_ > 0) --writes_left_;
  ++writes_;
  return inner_->write(data);
}

}  // namespace fatfs_test
