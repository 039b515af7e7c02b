// The signs of a counterfeit disk in a write whose verification failed. As
// the image streams, ImageFingerprints keeps a fingerprint of the first
// 4 KiB of every MiB; after the failure, a few of those places are read back
// from the disk. A place holding what the image has at another offset shows
// writes wrapping around past the disk's real size (at a whole number of
// MiB, as such disks do); a place holding a constant where the image does
// not shows writes that were dropped. Only `check` finds every real size.
//
// Thread-safe: the image is read on one thread (a fan-out's) while the
// sessions look on others.
#ifndef RAVIK_JOB_COUNTERFEIT_SIGNS_H_
#define RAVIK_JOB_COUNTERFEIT_SIGNS_H_

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "job/helper_session.h"
#include "job/image_reader.h"

namespace ravik::job {

// Bytes sampled at the start of every MiB of the image.
inline constexpr std::uint64_t kFingerprintBytes = 4096;
inline constexpr std::uint64_t kFingerprintSpacing = 1024 * 1024;

// A fingerprint of `bytes`, and whether they are one byte repeated.
struct Fingerprint {
  std::uint64_t hash = 0;
  std::uint32_t length = 0;
  bool constant = false;
  friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};
Fingerprint fingerprint_of(std::span<const std::uint8_t> bytes);

class ImageFingerprints : public ImageReader {
 public:
  explicit ImageFingerprints(std::unique_ptr<ImageReader> inner)
      : inner_(std::move(inner)) {}

  Result<std::size_t> read(std::span<std::uint8_t> buffer) override;

  // The fingerprint of the MiB at `index`, once its sample was read.
  std::optional<Fingerprint> at(std::uint64_t index) const;
  // Where the image holds `print`, when it holds it at one place only.
  std::optional<std::uint64_t> only_place_of(const Fingerprint& print) const;

 private:
  void sample(std::span<const std::uint8_t> bytes);

  std::unique_ptr<ImageReader> inner_;
  mutable std::mutex mutex_;
  std::uint64_t position_ = 0;
  std::vector<std::uint8_t> current_;                       // the sample being gathered
  std::vector<Fingerprint> prints_;                         // by MiB index
  std::unordered_map<std::uint64_t, std::int64_t> places_;  // hash: index, -1 if many
};

// After a verification of an `image_bytes` image failed: a few places read
// back through `session`; the counterfeit's description when the disk shows
// its signs, else nothing.
std::optional<std::string> look_for_counterfeit(HeldSession& session,
                                                const ImageFingerprints& prints,
                                                std::uint64_t image_bytes);

}  // namespace ravik::job

#endif  // RAVIK_JOB_COUNTERFEIT_SIGNS_H_
