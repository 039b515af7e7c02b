// The counterfeit signs looked for after a failed verification, against a
// disk that keeps only part of what it reports.
#include "job/counterfeit_signs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>

#include "job/messages.h"
#include "protocol/base64.h"

namespace ravik::job {
namespace {

constexpr std::uint64_t kOneMiB = 1024 * 1024;

// Reads the image through the fingerprints as a write streams it, in
// uneven pieces.
class VectorReader : public ImageReader {
 public:
  explicit VectorReader(const std::vector<std::uint8_t>& bytes) : bytes_(bytes) {}
  Result<std::size_t> read(std::span<std::uint8_t> buffer) override {
    const std::size_t n =
        std::min({buffer.size(), bytes_.size() - at_, std::size_t{777777}});
    std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(at_), n, buffer.begin());
    at_ += n;
    return n;
  }

 private:
  const std::vector<std::uint8_t>& bytes_;
  std::size_t at_ = 0;
};

// A helper whose disk answers reads from `disk`.
class DiskSession : public HeldSession {
 public:
  explicit DiskSession(std::vector<std::uint8_t> disk) : disk_(std::move(disk)) {}
  bool send(const nlohmann::ordered_json& message) override {
    const auto offset = message["offsetBytes"].get<std::uint64_t>();
    const auto length = message["lengthBytes"].get<std::uint64_t>();
    ++reads;
    answer_ = nlohmann::ordered_json{
        {"event", "readResult"},
        {"operationId", message["operationId"]},
        {"offsetBytes", offset},
        {"lengthBytes", length},
        {"dataBase64", base64_encode(std::span(disk_).subspan(offset, length))}};
    return true;
  }
  std::optional<HelperEvent> next() override { return parse_event_line(answer_.dump()); }
  std::optional<HelperEvent> ask(const nlohmann::ordered_json& message,
                                 std::initializer_list<std::string_view>,
                                 const std::string&) override {
    if (!send(message)) return std::nullopt;
    return next();
  }
  void fail(std::string) override {}
  void mark_over() override {}
  bool over() const override { return false; }
  ProgressSink& progress() override { std::abort(); }

  int reads = 0;

 private:
  std::vector<std::uint8_t> disk_;
  nlohmann::ordered_json answer_;
};

// What a disk reporting image.size() bytes shows after the image was written
// to it front to back, keeping `real` bytes: wrapping (each write lands at
// its offset modulo `real`) or dropping what lies beyond.
std::vector<std::uint8_t> written_to(const std::vector<std::uint8_t>& image,
                                     std::uint64_t real, bool wraps) {
  std::vector<std::uint8_t> disk(image.size(), 0);
  for (std::size_t at = 0; at < image.size(); ++at) {
    if (at < real)
      disk[at] = image[at];
    else if (wraps)
      disk[at % real] = image[at];
  }
  // Reads past the real size show the wrapped place, or nothing kept.
  for (std::size_t at = real; at < image.size(); ++at)
    disk[at] = wraps ? disk[at % real] : 0;
  return disk;
}

std::optional<std::string> signs_on(const std::vector<std::uint8_t>& image,
                                    const std::vector<std::uint8_t>& disk, int& reads) {
  ImageFingerprints prints(std::make_unique<VectorReader>(image));
  std::vector<std::uint8_t> buffer(4 * kOneMiB);
  while (true) {
    auto n = prints.read(buffer);
    EXPECT_TRUE(n);
    if (!n || *n == 0) break;
  }
  DiskSession session(disk);
  auto found = look_for_counterfeit(session, prints, image.size());
  reads = session.reads;
  return found;
}

TEST(CounterfeitSignsTest, WrapAroundAndDroppedWrites_AreToldAndAGoodDiskIsNot) {
  // Zeros between varied stretches, as a real image has.
  std::vector<std::uint8_t> image(24 * kOneMiB + 100);
  std::mt19937_64 random(9);
  std::ranges::generate(image, [&] { return static_cast<std::uint8_t>(random()); });
  std::fill(image.begin() + 3 * kOneMiB, image.begin() + 5 * kOneMiB, 0);
  int reads = 0;
  const auto wrapped = signs_on(image, written_to(image, 8 * kOneMiB, true), reads);
  ASSERT_TRUE(wrapped);
  // The start holds the image's last 100 bytes over others; the next place
  // read tells.
  EXPECT_TRUE(
      wrapped->starts_with("COUNTERFEIT: reading the disk at 1.0 MiB returns what "
                           "was written at 17.0 MiB: it keeps less than it reports"))
      << *wrapped;
  // Not a power of two.
  const auto odd = signs_on(image, written_to(image, 12 * kOneMiB, true), reads);
  ASSERT_TRUE(odd);
  EXPECT_TRUE(
      odd->starts_with("COUNTERFEIT: reading the disk at 1.0 MiB returns what was "
                       "written at 13.0 MiB"))
      << *odd;

  const auto dropped = signs_on(image, written_to(image, 20 * kOneMiB, false), reads);
  ASSERT_TRUE(dropped);
  EXPECT_TRUE(dropped->starts_with("COUNTERFEIT: what was written at ")) << *dropped;
  EXPECT_NE(dropped->find("reads back as one repeated byte"), std::string::npos);

  // A disk that altered one block elsewhere is not called counterfeit.
  std::vector<std::uint8_t> damaged = image;
  damaged[11 * kOneMiB] ^= 1;
  EXPECT_EQ(signs_on(image, damaged, reads), std::nullopt);
  EXPECT_GT(reads, 5);
  EXPECT_LE(reads, 40);
}

}  // namespace
}  // namespace ravik::job
