// Digests remembered by file identity (and the rate each disk last wrote
// at, for the estimate before a job), so that the next write of the same
// image file starts at once instead of hashing (and for a compressed image,
// decoding) it again. An entry is keyed by the file's device, inode, size
// and modification and change times in nanoseconds; the change time is set
// by the kernel on every change of the file's content or metadata and cannot
// be set back by any call, so a file that changed in any way no longer
// matches its entry. A wrong entry could not write a wrong image anyway: the
// helper checks the stream against the announced digest before it writes
// the partition-table area.
//
// The file is "ravik-device-client/digests" under $XDG_CACHE_HOME, or
// ~/.cache. It is used only in a directory owned by the effective user and
// writable by nobody else, opened without following links, and replaced by
// renaming a new file in place; anything else leaves the cache unused, so
// that root (a client run through sudo) never writes into another user's
// directory.
//
// Thread-compatible; reads and writes the file system.
#ifndef RAVIK_JOB_DIGEST_CACHE_H_
#define RAVIK_JOB_DIGEST_CACHE_H_

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string>

namespace ravik::job {

struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  std::int64_t ctime_ns = 0;

  static FileIdentity of(const struct stat& info);
  friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
};

struct RememberedDigest {
  std::uint64_t image_size = 0;
  std::string image_sha256;  // of the image as written (decompressed)
  std::string file_sha256;   // of the file itself; empty when not known
};

class DigestCache {
 public:
  // The cache of the user this process runs as, in `directory` when given
  // (tests), else from the environment as above.
  explicit DigestCache(std::optional<std::string> directory = std::nullopt);

  std::optional<RememberedDigest> find(const FileIdentity& file) const;
  // Remembers `digest` for `file`; keeps the most recent entries only. A
  // failure leaves the cache as it was and is not reported: it only costs
  // a pass next time.
  void remember(const FileIdentity& file, const RememberedDigest& digest) const;

  // The rate the write stage of `disk` (a stable name of the medium: its
  // serial, else its model and size) last ran at; remembered likewise.
  std::optional<std::uint64_t> write_rate(const std::string& disk) const;
  void remember_write_rate(const std::string& disk, std::uint64_t bytes_per_second) const;

 private:
  std::string directory_;  // empty: no cache
};

}  // namespace ravik::job

#endif  // RAVIK_JOB_DIGEST_CACHE_H_
