#include "transaction/capacity_probe.h"

#include <stdlib.h>

#include <algorithm>
#include <cstring>

#include "transaction/cancellation.h"
#include "transaction/target_reads.h"
#include "transaction/target_writes.h"
#include "transaction/transfer_buffer.h"

namespace ravik {
namespace {

// The dense run is written and read in steps of this size.
constexpr std::uint64_t kDenseStepBytes = 4'194'304;
// The dense run is about sqrt(capacity * this), so that it and the comb cost
// about the same: 16 MiB and 256 comb blocks for 4 GiB, 64 MiB and 1024 for
// 64 GiB.
constexpr std::uint64_t kCombBalanceBytes = 65'536;
constexpr std::uint64_t kMinDenseBytes = 1'048'576;
constexpr std::size_t kRandomSingles = 64;
// Progress is reported after this many single blocks.
constexpr std::size_t kSinglesPerStep = 256;

constexpr std::size_t kOffsetAt = 16;
constexpr std::size_t kTagAt = 24;
constexpr std::size_t kFillerAt = kTagAt + kProbeTagBytes;
constexpr std::array<std::uint8_t, kOffsetAt> kMagic{
    'r', 'a', 'v', 'i', 'k', ' ', 'p', 'r', 'o', 'b', 'e', ' ', 'b', 'l', 'k', 1};

std::uint64_t splitmix64(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t load_le64(const std::uint8_t* bytes) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

void store_le64(std::uint8_t* bytes, std::uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint64_t tag_seed(const ProbeTag& tag) {
  return load_le64(tag.data()) ^ (load_le64(tag.data() + 8) * 0xD6E8FEB86659FD93ULL);
}

// The block that belongs at `offset` in this run: magic, offset, tag, then
// filler drawn from both, so that no two blocks (of any run) are alike.
void fill_block(std::span<std::uint8_t> out, std::uint64_t offset, const ProbeTag& tag) {
  std::memcpy(out.data(), kMagic.data(), kMagic.size());
  store_le64(out.data() + kOffsetAt, offset);
  std::memcpy(out.data() + kTagAt, tag.data(), tag.size());
  std::uint64_t state = tag_seed(tag) ^ (offset * 0x9E3779B97F4A7C15ULL);
  for (std::size_t at = kFillerAt; at < out.size(); at += 8) {
    std::uint8_t word[8];
    store_le64(word, splitmix64(state));
    std::memcpy(out.data() + at, word, std::min<std::size_t>(8, out.size() - at));
  }
}

enum class ReadingKind { kOwn, kForeign, kConstant, kOther };

struct Reading {
  ReadingKind kind = ReadingKind::kOwn;
  std::uint64_t foreign_offset = 0;
};

// What the block read at `offset` holds; `scratch` is one block of room.
Reading classify(std::span<const std::uint8_t> got, std::uint64_t offset,
                 const ProbeTag& tag, std::uint64_t capacity,
                 std::span<std::uint8_t> scratch) {
  fill_block(scratch, offset, tag);
  if (std::ranges::equal(got, scratch)) return {};
  if (std::ranges::all_of(got, [&](std::uint8_t b) { return b == got[0]; })) {
    return {.kind = ReadingKind::kConstant};
  }
  const bool this_run = std::equal(kMagic.begin(), kMagic.end(), got.begin()) &&
                        std::equal(tag.begin(), tag.end(), got.begin() + kTagAt);
  if (this_run) {
    const std::uint64_t other = load_le64(got.data() + kOffsetAt);
    if (other != offset && other % got.size() == 0 && other < capacity) {
      fill_block(scratch, other, tag);
      if (std::ranges::equal(got, scratch)) {
        return {.kind = ReadingKind::kForeign, .foreign_offset = other};
      }
    }
  }
  return {.kind = ReadingKind::kOther};
}

Result<void> write_at(HeldDeviceIo& device, std::uint64_t offset,
                      std::span<const std::uint8_t> data,
                      const std::atomic<bool>& cancel_flag) {
  if (auto sought = device.seek(SeekFrom::start(offset)); !sought) {
    return std::unexpected(write_io(sought.error()));
  }
  std::uint64_t position = offset;
  std::uint64_t high_water = 0;
  return write_target_all(device, data, position, high_water, cancel_flag);
}

struct BadBlock {
  std::uint64_t offset = 0;
  Reading reading;
};

class Probe {
 public:
  Probe(HeldDeviceIo& device, const std::atomic<bool>& cancel_flag, const ProbeTag& tag,
        const CapacityProbeProgress& progress)
      : device_(device), cancel_flag_(cancel_flag), tag_(tag), progress_(progress) {}

  Result<CapacityProbeOutcome> run() {
    const std::uint64_t block = device_.logical_block_size();
    if (block < 512 || block > kMinDenseBytes || (block & (block - 1)) != 0) {
      return fail(codes::kDeviceDisconnected,
                  "The held target reported invalid aligned-read geometry.");
    }
    plan_ = plan_capacity_probe(device_.capacity(), block, tag_);
    total_ = plan_.dense_bytes + plan_.singles.size() * block;
    const std::uint64_t step =
        std::max(block, std::min(kDenseStepBytes, plan_.dense_bytes));
    RAVIK_ASSIGN_OR_RETURN(steps_, allocate_transfer_buffer(block, step));
    RAVIK_ASSIGN_OR_RETURN(one_, allocate_transfer_buffer(block, block));
    RAVIK_ASSIGN_OR_RETURN(scratch_, allocate_transfer_buffer(block, block));

    RAVIK_RETURN_IF_ERROR(write_all_blocks(step));
    RAVIK_RETURN_IF_ERROR(device_.sync_all());
    RAVIK_RETURN_IF_ERROR(device_.verify_current_identity());
    RAVIK_ASSIGN_OR_RETURN(std::optional<BadBlock> bad, read_all_blocks(step));
    CapacityProbeOutcome outcome{.reported_bytes = device_.capacity(),
                                 .verified_bytes = device_.capacity(),
                                 .finding = CapacityFinding::kGenuine,
                                 .blocks_probed = total_ / block,
                                 .first_bad_offset = std::nullopt,
                                 .wraps_to_offset = std::nullopt};
    if (bad) {
      RAVIK_ASSIGN_OR_RETURN(*bad, narrow(*bad, outcome.blocks_probed));
      outcome.verified_bytes = bad->offset;
      outcome.first_bad_offset = bad->offset;
      switch (bad->reading.kind) {
        case ReadingKind::kForeign:
          outcome.finding = CapacityFinding::kWrapAround;
          outcome.wraps_to_offset = bad->reading.foreign_offset;
          break;
        case ReadingKind::kConstant:
          outcome.finding = CapacityFinding::kDroppedWrites;
          break;
        case ReadingKind::kOwn:
        case ReadingKind::kOther:
          outcome.finding = CapacityFinding::kCorrupted;
          break;
      }
    }
    RAVIK_RETURN_IF_ERROR(device_.verify_current_identity());
    return outcome;
  }

 private:
  std::uint64_t block() const { return plan_.block; }
  std::span<std::uint8_t> one() const {
    return one_.span().first(static_cast<std::size_t>(block()));
  }
  std::span<std::uint8_t> scratch() const {
    return scratch_.span().first(static_cast<std::size_t>(block()));
  }

  Result<void> report(ProbePhase phase, std::uint64_t done) {
    return progress_ ? progress_(phase, done, total_) : Result<void>{};
  }

  // From the highest offset down: a block that a wrapping device stores on
  // top of a lower one is overwritten by it, so the higher offset is the
  // one that reads back wrong.
  Result<void> write_all_blocks(std::uint64_t step) {
    std::uint64_t done = 0;
    std::size_t since_report = 0;
    for (auto at = plan_.singles.rbegin(); at != plan_.singles.rend(); ++at) {
      fill_block(one(), *at, tag_);
      RAVIK_RETURN_IF_ERROR(write_at(device_, *at, one(), cancel_flag_));
      done += block();
      if (++since_report == kSinglesPerStep) {
        since_report = 0;
        RAVIK_RETURN_IF_ERROR(report(ProbePhase::kWrite, done));
      }
    }
    for (std::uint64_t end = plan_.dense_bytes; end > 0;) {
      const std::uint64_t start = end > step ? end - step : 0;
      const auto chunk = steps_.span().first(static_cast<std::size_t>(end - start));
      for (std::uint64_t at = 0; at < chunk.size(); at += block()) {
        fill_block(chunk.subspan(at, block()), start + at, tag_);
      }
      RAVIK_RETURN_IF_ERROR(write_at(device_, start, chunk, cancel_flag_));
      done += chunk.size();
      RAVIK_RETURN_IF_ERROR(report(ProbePhase::kWrite, done));
      end = start;
    }
    return {};
  }

  // Ascending, up to the first block that does not read back as written.
  Result<std::optional<BadBlock>> read_all_blocks(std::uint64_t step) {
    std::uint64_t done = 0;
    for (std::uint64_t start = 0; start < plan_.dense_bytes; start += step) {
      RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag_));
      const auto chunk = steps_.span().first(
          static_cast<std::size_t>(std::min(step, plan_.dense_bytes - start)));
      RAVIK_RETURN_IF_ERROR(read_target_range(device_, start, chunk));
      for (std::uint64_t at = 0; at < chunk.size(); at += block()) {
        const Reading reading = classify(chunk.subspan(at, block()), start + at, tag_,
                                         device_.capacity(), scratch());
        if (reading.kind != ReadingKind::kOwn) {
          RAVIK_RETURN_IF_ERROR(report(ProbePhase::kRead, total_));
          return BadBlock{.offset = start + at, .reading = reading};
        }
      }
      done += chunk.size();
      RAVIK_RETURN_IF_ERROR(report(ProbePhase::kRead, done));
    }
    std::size_t since_report = 0;
    for (std::size_t index = 0; index < plan_.singles.size(); ++index) {
      RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag_));
      const std::uint64_t at = plan_.singles[index];
      RAVIK_RETURN_IF_ERROR(read_target_range(device_, at, one()));
      const Reading reading = classify(one(), at, tag_, device_.capacity(), scratch());
      done += block();
      if (reading.kind != ReadingKind::kOwn) {
        RAVIK_RETURN_IF_ERROR(report(ProbePhase::kRead, total_));
        lowest_single_bad_ = index;
        return BadBlock{.offset = at, .reading = reading};
      }
      if (++since_report == kSinglesPerStep || index + 1 == plan_.singles.size()) {
        since_report = 0;
        RAVIK_RETURN_IF_ERROR(report(ProbePhase::kRead, done));
      }
    }
    return std::nullopt;
  }

  // Whether the unprobed block at `offset` is real: a block of this run
  // found there already means it aliases one that was probed; otherwise its
  // own block is written, made durable and read back.
  Result<Reading> test_block(std::uint64_t offset) {
    RAVIK_RETURN_IF_ERROR(read_target_range(device_, offset, one()));
    Reading reading = classify(one(), offset, tag_, device_.capacity(), scratch());
    if (reading.kind == ReadingKind::kForeign) return reading;
    fill_block(one(), offset, tag_);
    RAVIK_RETURN_IF_ERROR(write_at(device_, offset, one(), cancel_flag_));
    RAVIK_RETURN_IF_ERROR(device_.sync_all());
    RAVIK_RETURN_IF_ERROR(read_target_range(device_, offset, one()));
    return classify(one(), offset, tag_, device_.capacity(), scratch());
  }

  // Bisects the gap between the last good probe and the first bad single
  // block down to one block. Every block below the good end read back as
  // written, so the result still is a lower bound of what is real.
  Result<BadBlock> narrow(BadBlock bad, std::uint64_t& blocks_probed) {
    if (!lowest_single_bad_) return bad;
    std::uint64_t good = *lowest_single_bad_ == 0
                             ? plan_.dense_bytes - block()
                             : plan_.singles[*lowest_single_bad_ - 1];
    while (bad.offset - good > block()) {
      RAVIK_RETURN_IF_ERROR(check_cancel_flag(cancel_flag_));
      const std::uint64_t middle = good + (bad.offset - good) / block() / 2 * block();
      RAVIK_ASSIGN_OR_RETURN(const Reading reading, test_block(middle));
      ++blocks_probed;
      if (reading.kind == ReadingKind::kOwn) {
        good = middle;
      } else {
        bad = BadBlock{.offset = middle, .reading = reading};
      }
    }
    return bad;
  }

  HeldDeviceIo& device_;
  const std::atomic<bool>& cancel_flag_;
  const ProbeTag& tag_;
  const CapacityProbeProgress& progress_;
  ProbePlan plan_;
  std::uint64_t total_ = 0;
  AlignedBuffer steps_;
  AlignedBuffer one_;
  AlignedBuffer scratch_;
  std::optional<std::size_t> lowest_single_bad_;
};

}  // namespace

ProbePlan plan_capacity_probe(std::uint64_t capacity, std::uint64_t block,
                              const ProbeTag& tag) {
  ProbePlan plan{.block = block, .dense_bytes = 0, .singles = {}};
  const std::uint64_t usable = capacity / block * block;
  if (usable == 0) return plan;
  std::uint64_t dense = kMinDenseBytes;
  while (dense < usable && (dense / kCombBalanceBytes) * dense < capacity) dense *= 2;
  plan.dense_bytes = std::min(dense, usable) / block * block;

  std::vector<std::uint64_t> singles;
  const auto add = [&](std::uint64_t offset) {
    if (offset >= plan.dense_bytes && offset <= usable - block) singles.push_back(offset);
  };
  for (std::uint64_t at = plan.dense_bytes; at <= usable - block;
       at += plan.dense_bytes) {
    add(at);
  }
  add(usable - block);
  for (std::uint64_t power = block; power < usable; power *= 2) {
    add(power - block);
    add(power);
    add(power + block);
  }
  std::uint64_t state = tag_seed(tag);
  for (std::size_t i = 0; i < kRandomSingles; ++i) {
    add(splitmix64(state) % (usable / block) * block);
  }
  std::ranges::sort(singles);
  const auto [first, last] = std::ranges::unique(singles);
  singles.erase(first, last);
  plan.singles = std::move(singles);
  return plan;
}

ProbeTag random_probe_tag() {
  ProbeTag tag{};
  ::arc4random_buf(tag.data(), tag.size());
  return tag;
}

Result<CapacityProbeOutcome> run_capacity_probe(HeldDeviceIo& device,
                                                const std::atomic<bool>& cancel_flag,
                                                const ProbeTag& tag,
                                                const CapacityProbeProgress& progress) {
  return Probe(device, cancel_flag, tag, progress).run();
}

}  // namespace ravik
