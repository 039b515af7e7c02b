// TempDir: a private temporary directory for one test, removed with all its
// contents when the object is destroyed. Each object gets its own directory
// (mkdtemp under $TMPDIR or /tmp, or under a root the test names), so tests
// running in parallel never meet. Thread-compatible; move-only.
#ifndef RAVIK_TESTS_SUPPORT_TEMP_DIR_H_
#define RAVIK_TESTS_SUPPORT_TEMP_DIR_H_

#include <sys/types.h>

#include <string>
#include <string_view>

namespace ravik::harness {

class TempDir {
 public:
  // Creates the directory (mode 0700, owned by the test's user). A test
  // cannot do anything useful without it, so failure aborts the process with
  // a message.
  TempDir();
  // The same under `root`, e.g. "/dev/shm" for backing files that must live
  // in memory.
  explicit TempDir(const std::string& root);
  TempDir(TempDir&& other) noexcept;
  TempDir& operator=(TempDir&&) = delete;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  // `path()` + "/" + `name`; nothing is created.
  std::string file(std::string_view name) const;
  // Creates (or truncates) the file `name` with `contents` and exactly
  // `mode`, whatever the umask, and returns its path. Aborts on failure like
  // the constructor.
  std::string write_file(std::string_view name, std::string_view contents,
                         mode_t mode = 0600) const;

 private:
  std::string path_;
};

}  // namespace ravik::harness

#endif  // RAVIK_TESTS_SUPPORT_TEMP_DIR_H_
