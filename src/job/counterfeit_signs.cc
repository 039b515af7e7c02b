#include "job/counterfeit_signs.h"

#include <algorithm>

#include "error/byte_size.h"
#include "job/job_events.h"
#include "job/messages.h"
#include "protocol/base64.h"

namespace ravik::job {
namespace {

// Places read back: enough to meet a wrap at any power of two and at most
// sizes between, few enough to take no noticeable time.
constexpr std::size_t kMostPlaces = 40;
// How far past a place whose sample is ambiguous (zeros, a repeated block)
// another is looked for.
constexpr std::uint64_t kNeighbourSearch = 8;

// The MiB indices to read back: the start, every power of two, the points
// between them and the last.
std::vector<std::uint64_t> places_to_read(std::uint64_t mebibytes) {
  std::vector<std::uint64_t> places = {0};
  for (std::uint64_t at = 1; at < mebibytes; at *= 2) {
    places.push_back(at);
    if (at + at / 2 < mebibytes && at >= 2) places.push_back(at + at / 2);
  }
  if (mebibytes > 1) places.push_back(mebibytes - 1);
  std::ranges::sort(places);
  places.erase(std::unique(places.begin(), places.end()), places.end());
  if (places.size() > kMostPlaces) places.resize(kMostPlaces);
  return places;
}

}  // namespace

Fingerprint fingerprint_of(std::span<const std::uint8_t> bytes) {
  // FNV-1a: a fingerprint to tell blocks apart, not a proof.
  std::uint64_t hash = 14695981039346656037ULL;
  for (const std::uint8_t byte : bytes) hash = (hash ^ byte) * 1099511628211ULL;
  const bool constant = !bytes.empty() && std::ranges::all_of(bytes, [&](std::uint8_t b) {
    return b == bytes[0];
  });
  return {hash, static_cast<std::uint32_t>(bytes.size()), constant};
}

Result<std::size_t> ImageFingerprints::read(std::span<std::uint8_t> buffer) {
  auto count = inner_->read(buffer);
  if (count) sample(buffer.first(*count));
  return count;
}

void ImageFingerprints::sample(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  auto finish_sample = [&] {
    const Fingerprint print = fingerprint_of(current_);
    const auto index = static_cast<std::int64_t>(prints_.size());
    prints_.push_back(print);
    auto [found, added] = places_.try_emplace(print.hash, index);
    if (!added) found->second = -1;
    current_.clear();
  };
  std::size_t at = 0;
  while (at < bytes.size()) {
    const std::uint64_t in_mib = position_ % kFingerprintSpacing;
    if (in_mib < kFingerprintBytes) {
      const std::size_t take = static_cast<std::size_t>(
          std::min<std::uint64_t>(kFingerprintBytes - in_mib, bytes.size() - at));
      current_.insert(current_.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                      bytes.begin() + static_cast<std::ptrdiff_t>(at + take));
      at += take;
      position_ += take;
      if (current_.size() == kFingerprintBytes) finish_sample();
    } else {
      const std::size_t skip = static_cast<std::size_t>(
          std::min<std::uint64_t>(kFingerprintSpacing - in_mib, bytes.size() - at));
      at += skip;
      position_ += skip;
    }
  }
  // The image's end cuts its last sample short.
  if (bytes.empty() && !current_.empty()) finish_sample();
}

std::optional<Fingerprint> ImageFingerprints::at(std::uint64_t index) const {
  std::lock_guard lock(mutex_);
  if (index >= prints_.size()) return std::nullopt;
  return prints_[index];
}

std::optional<std::uint64_t> ImageFingerprints::only_place_of(
    const Fingerprint& print) const {
  std::lock_guard lock(mutex_);
  auto found = places_.find(print.hash);
  if (found == places_.end() || found->second < 0) return std::nullopt;
  const auto index = static_cast<std::uint64_t>(found->second);
  if (!(prints_[index] == print)) return std::nullopt;
  return index * kFingerprintSpacing;
}

std::optional<std::string> look_for_counterfeit(HeldSession& session,
                                                const ImageFingerprints& prints,
                                                std::uint64_t image_bytes) {
  const std::uint64_t mebibytes =
      (image_bytes + kFingerprintSpacing - 1) / kFingerprintSpacing;
  std::uint64_t count = 0;
  for (const std::uint64_t wanted : places_to_read(mebibytes)) {
    // A place the image itself holds only there, so that what comes back
    // names where it came from.
    std::optional<std::uint64_t> index;
    for (std::uint64_t i = wanted; i < std::min(mebibytes, wanted + kNeighbourSearch);
         ++i) {
      const auto print = prints.at(i);
      if (print && !print->constant && prints.only_place_of(*print)) {
        index = i;
        break;
      }
    }
    if (!index) continue;
    const Fingerprint expected = *prints.at(*index);
    const std::uint64_t offset = *index * kFingerprintSpacing;
    auto event =
        session.ask(read_message("counterfeit-read-" + std::to_string(++count), offset,
                                 expected.length),
                    {"readResult"}, "Reading back the disk at " + std::to_string(offset));
    if (!event) return std::nullopt;
    const auto bytes = base64_decode_canonical(event->text("dataBase64").value_or(""));
    if (!bytes || bytes->size() != expected.length) return std::nullopt;
    const Fingerprint found = fingerprint_of(*bytes);
    if (found == expected) continue;
    if (const auto source = prints.only_place_of(found)) {
      return "COUNTERFEIT: reading the disk at " + format_bytes(offset) +
             " returns what was written at " + format_bytes(*source) +
             ": it keeps less than it reports, and writes past its real size wrap "
             "around over earlier data. `check` tells its real size.";
    }
    if (found.constant) {
      return "COUNTERFEIT: what was written at " + format_bytes(offset) +
             " reads back as one repeated byte: the disk keeps less than it reports and "
             "drops the writes past its real size. `check` tells its real size.";
    }
  }
  return std::nullopt;
}

}  // namespace ravik::job
