// The protected prefix under faults: whatever fails, and wherever a
// cancellation arrives, the target never holds a byte of the image's real
// prefix before the body was read back equal to the source, and nothing is
// written once the cancellation was set, unless the commit of the prefix was
// under way; that runs to its end and writes the block holding byte 0 last.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>

#include "support/fault_injecting_device.h"
#include "support/memory_source.h"
#include "support/transaction_fixture.h"
#include "transaction/held_transaction.h"

namespace ravik::testing {
namespace {

constexpr std::uint64_t kPrefix = 65536;
constexpr std::uint64_t kImage = 300 * 1024 + 77;
constexpr std::uint64_t kPadded = kImage + (4096 - kImage % 4096);
constexpr std::uint64_t kDisk = 512 * 1024;

// Follows the device calls and notes whether a non-zero write reached the
// prefix area before the body readback (the read reaching byte B - 1) completed.
struct PrefixWatch {
  bool body_read_back = false;
  bool prefix_exposed_early = false;
  std::size_t writes_seen = 0;
  std::size_t reads_seen = 0;

  void observe(const FakeDisk& disk) {
    for (; reads_seen < disk.reads.size(); ++reads_seen) {
      const Transfer& read = disk.reads[reads_seen];
      if (read.offset < kImage && read.offset + read.length >= kImage)
        body_read_back = true;
    }
    for (; writes_seen < disk.writes.size(); ++writes_seen) {
      const Transfer& write = disk.writes[writes_seen];
      if (write.offset < kPrefix && !write.all_zero && !body_read_back) {
        prefix_exposed_early = true;
      }
    }
  }
};

struct Scenario {
  std::shared_ptr<FakeDisk> disk;
  std::unique_ptr<MemorySource> source;
  HeldFake held;
  PrefixWatch watch;
  // Runs after the watch on every device call.
  std::function<void(CallKind)> react;
  Result<WriteOutcome> result = WriteOutcome{};
};

// `end`: how much of the prefix area to check (a failed commit may have
// written all of it but the first block).
::testing::AssertionResult prefix_area_holds_no_image_byte(const FakeDisk& disk,
                                                           std::uint64_t end = kPrefix) {
  for (std::uint64_t i = 0; i < end; ++i) {
    if (disk.bytes[i] != 0 && disk.bytes[i] != kUntouched) {
      return ::testing::AssertionFailure() << "image byte at offset " << i;
    }
  }
  return ::testing::AssertionSuccess();
}

std::uint64_t furthest_write(const FakeDisk& disk) {
  std::uint64_t end = 0;
  for (const Transfer& write : disk.writes)
    end = std::max(end, write.offset + write.length);
  return end;
}

// Parameter: whether the device requires aligned I/O (L = 4096).
class DataSafety : public ::testing::TestWithParam<bool> {
 protected:
  const std::vector<std::uint8_t> image_ = pattern_bytes(kImage, 7);

  std::unique_ptr<Scenario> run(const std::function<void(Scenario&)>& arm) {
    auto s = std::make_unique<Scenario>();
    s->disk = std::make_shared<FakeDisk>(kDisk, kUntouched);
    s->disk->requires_aligned_io = GetParam();
    s->disk->logical_block_size = 4096;
    s->source = std::make_unique<MemorySource>(
        image_, std::vector<std::size_t>{40'000, 4097, 123'457, 1});
    s->held = hold(s->disk,
                   write_request_for(image_, kDisk, kPrefix, TailPolicy::kZeroPadSector));
    Scenario* raw = s.get();
    s->disk->on_call = [raw](CallKind kind) {
      raw->watch.observe(*raw->disk);
      if (raw->react) raw->react(kind);
    };
    arm(*s);
    s->result = s->held->write_source_with_progress(*s->source, {});
    s->watch.observe(*s->disk);
    return s;
  }
};

TEST_P(DataSafety, FailureInEveryPhase_LeavesPrefixAreaOldOrBlank) {
  struct Phase {
    std::string name;
    std::function<void(Scenario&)> arm;
    std::string code;
  };
  const std::vector<Phase> phases = {
      {"prefix read",
       [](Scenario& s) {
         s.source->faults.push_back(
             {.at = 40'000, .kind = IoErrorKind::kOther, .times = 1});
       },
       "IMAGE_MISSING"},
      {"zero pass",
       [](Scenario& s) {
         s.disk->write_faults = {
             {.offset = 0, .kind = FaultKind::kShort, .short_length = 8192},
             {.offset = 8192, .kind = FaultKind::kFail}};
       },
       "WRITE_FAILED"},
      {"zero-pass sync", [](Scenario& s) { s.disk->fail_sync_from_call = 1; },
       "WRITE_FAILED"},
      {"body",
       [](Scenario& s) {
         s.disk->write_faults = {{.offset = 200'000, .kind = FaultKind::kFail}};
       },
       "WRITE_FAILED"},
      {"tail",
       [](Scenario& s) {
         s.disk->write_faults = {{.offset = kPadded - 1, .kind = FaultKind::kFail}};
       },
       "WRITE_FAILED"},
      {"final sync", [](Scenario& s) { s.disk->fail_sync_from_call = 2; },
       "WRITE_FAILED"},
      {"body readback read",
       [](Scenario& s) {
         s.disk->read_faults = {{.offset = 100'000, .kind = FaultKind::kFail}};
       },
       "DEVICE_DISCONNECTED"},
      {"body readback differs",
       [](Scenario& s) {
         // The medium loses a body bit after the body became durable.
         Scenario* raw = &s;
         s.react = [raw](CallKind kind) {
           if (kind == CallKind::kSync && raw->disk->sync_calls == 2) {
             raw->disk->bytes[kPrefix + 5] ^= 0x01;
           }
         };
       },
       "VERIFY_MISMATCH"},
      {"identity before commit",
       // One check at open, one before the first write; the next is the one
       // before the commit.
       [](Scenario& s) { s.disk->identity_checks_before_loss = 2; },
       "DEVICE_DISCONNECTED"},
      {"commit write",
       [](Scenario& s) {
         Scenario* raw = &s;
         s.react = [raw](CallKind kind) {
           if (kind == CallKind::kVerify && raw->watch.body_read_back) {
             raw->disk->write_faults = {{.offset = 0, .kind = FaultKind::kFail}};
           }
         };
       },
       "WRITE_FAILED"},
  };
  for (const Phase& phase : phases) {
    SCOPED_TRACE(phase.name);
    auto s = run(phase.arm);
    ASSERT_FALSE(s->result.has_value());
    EXPECT_EQ(s->result.error().code().text(), phase.code) << s->result.error().message();
    EXPECT_TRUE(prefix_area_holds_no_image_byte(
        *s->disk, phase.name == "commit write" ? s->disk->logical_block_size : kPrefix));
    EXPECT_FALSE(s->watch.prefix_exposed_early);
    EXPECT_EQ(s->held->target_high_water(), furthest_write(*s->disk));
    EXPECT_EQ(s->held->source_bytes_read(),
              phase.name == "prefix read"
                  ? 40'000u
                  : std::min<std::uint64_t>(s->source->delivered(), kImage));
    EXPECT_FALSE(s->held->written());
    EXPECT_FALSE(s->held->source_digest().has_value());
    // The run is single-shot whatever its outcome.
    MemorySource again(image_);
    auto second = s->held->write_source_with_progress(again, {});
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().message(), "The source can be written only once.");
  }
}

TEST_P(DataSafety, PrefixReadbackMismatch_IsVerifyMismatchNotSuccess) {
  auto s = run([](Scenario& scenario) {
    Scenario* raw = &scenario;
    scenario.react = [raw](CallKind kind) {
      if (kind == CallKind::kSync && raw->disk->sync_calls == 4)
        raw->disk->bytes[7] ^= 0x80;
    };
  });
  ASSERT_FALSE(s->result.has_value());
  EXPECT_EQ(s->result.error().code().text(), "VERIFY_MISMATCH");
  EXPECT_EQ(s->result.error().message(),
            "Protected prefix readback did not match after commit.");
  EXPECT_FALSE(s->watch.prefix_exposed_early);
  EXPECT_FALSE(s->held->written());
}

TEST_P(DataSafety, CancelAtEveryDeviceCall_StopsWritingAndNeverExposesPrefix) {
  // Count the calls of an undisturbed run, then cancel at each of them.
  const auto clean = run([](Scenario&) {});
  ASSERT_TRUE(clean->result.has_value()) << clean->result.error().message();
  const std::size_t total_calls = clean->disk->calls.size();
  ASSERT_GT(total_calls, 10u);

  for (std::size_t at = 2; at <= total_calls; ++at) {
    SCOPED_TRACE("cancel at call " + std::to_string(at));
    std::size_t writes_when_canceled = 0;
    bool canceled = false;
    auto s = run([&](Scenario& scenario) {
      Scenario* raw = &scenario;
      scenario.react = [raw, at, &writes_when_canceled, &canceled](CallKind) {
        if (!canceled && raw->disk->calls.size() == at) {
          canceled = true;
          writes_when_canceled = raw->disk->writes.size();
          raw->held->request_cancellation();
        }
      };
    });
    ASSERT_TRUE(canceled);
    EXPECT_FALSE(s->watch.prefix_exposed_early);
    if (s->result) {
      // Only a commit already under way finishes; the image is then whole.
      EXPECT_TRUE(s->watch.body_read_back);
      EXPECT_EQ(slice(s->disk->bytes, 0, kImage), image_);
      continue;
    }
    EXPECT_EQ(s->result.error().code().text(), "CANCELED");
    EXPECT_EQ(s->result.error().message(), "The transaction was canceled.");
    EXPECT_EQ(s->disk->writes.size(), writes_when_canceled);
    if (!s->watch.body_read_back) {
      EXPECT_TRUE(prefix_area_holds_no_image_byte(*s->disk));
    }
    EXPECT_EQ(s->held->target_high_water(), furthest_write(*s->disk));
  }
}

TEST_P(DataSafety, SingleWriteFaultAnywhere_NeverExposesPrefix) {
  const auto clean = run([](Scenario&) {});
  ASSERT_TRUE(clean->result.has_value());
  std::vector<std::uint64_t> offsets;
  for (const Transfer& write : clean->disk->writes) {
    offsets.push_back(write.offset);
    offsets.push_back(write.offset + write.length - 1);
  }
  for (const std::uint64_t offset : offsets) {
    for (const FaultKind kind : {FaultKind::kFail, FaultKind::kZero}) {
      SCOPED_TRACE("write fault at " + std::to_string(offset));
      auto s = run([&](Scenario& scenario) {
        scenario.disk->write_faults = {{.offset = offset, .kind = kind}};
      });
      ASSERT_FALSE(s->result.has_value());
      EXPECT_EQ(s->result.error().code().text(), "WRITE_FAILED");
      EXPECT_FALSE(s->watch.prefix_exposed_early);
      if (!s->watch.body_read_back) {
        EXPECT_TRUE(prefix_area_holds_no_image_byte(*s->disk));
      }
    }
  }
}

// The commit of a 16 MiB prefix on a device that takes at most 4 MiB per
// write call, so that the commit spans many calls. Parameter: block size.
class PrefixCommit : public ::testing::TestWithParam<std::uint64_t> {
 protected:
  static constexpr std::uint64_t kPrefix16M = 16 * 1024 * 1024;
  static constexpr std::uint64_t kImage16M = kPrefix16M + 96 * 1024;
  static constexpr std::uint64_t kDisk16M = kImage16M + 1024 * 1024;
  const std::vector<std::uint8_t> image_ = pattern_bytes(kImage16M, 11);
  // Hashing the image once, not once per run, keeps the sweeps affordable
  // under the sanitizers.
  const OpenWriteRequest request_ = write_request_for(image_, kDisk16M, kPrefix16M);

  struct Run {
    std::shared_ptr<FakeDisk> disk;
    HeldFake held;
    Result<WriteOutcome> result = WriteOutcome{};
  };

  // `react` runs after every device call with the run and the call count.
  Run run(const std::function<void(Run&, std::size_t)>& react) {
    Run r;
    r.disk = std::make_shared<FakeDisk>(kDisk16M, kUntouched);
    r.disk->requires_aligned_io = true;
    r.disk->logical_block_size = GetParam();
    r.disk->max_write_length = 4 * 1024 * 1024;
    r.held = hold(r.disk, request_);
    r.disk->on_call = [&r, &react](CallKind) { react(r, r.disk->calls.size()); };
    MemorySource source(image_);
    r.result = r.held->write_source_with_progress(source, {});
    r.disk->on_call = {};
    return r;
  }

  // The new partition table (bytes 446..511) at LBA 0 only over the whole image.
  ::testing::AssertionResult table_only_over_whole_image(const FakeDisk& disk) const {
    const auto table = [](auto bytes) { return bytes + 446; };
    if (!std::equal(table(image_.begin()), image_.begin() + 512,
                    table(disk.bytes.begin())))
      return ::testing::AssertionSuccess();
    if (std::equal(image_.begin(), image_.end(), disk.bytes.begin()))
      return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "new table at LBA 0 over an incomplete image";
  }
};

TEST_P(PrefixCommit, CancelAtEveryDeviceCall_NeverExposesTableOverIncompleteImage) {
  const Run clean = run([](Run&, std::size_t) {});
  ASSERT_TRUE(clean.result.has_value()) << clean.result.error().message();
  std::size_t completed_despite_cancel = 0;
  // The first call, the identity check at open, came before the write.
  for (std::size_t at = 2; at <= clean.disk->calls.size(); ++at) {
    SCOPED_TRACE("cancel at call " + std::to_string(at));
    const Run r = run([at](Run& self, std::size_t calls) {
      if (calls == at) self.held->request_cancellation();
    });
    EXPECT_TRUE(table_only_over_whole_image(*r.disk));
    if (r.result) {
      // The cancel came during the commit: it stays set for the next operation.
      ++completed_despite_cancel;
      EXPECT_TRUE(r.held.cancel->load());
    } else {
      EXPECT_EQ(r.result.error().code().text(), "CANCELED");
    }
  }
  EXPECT_GE(completed_despite_cancel, 6u);
}

TEST_P(PrefixCommit, FailingWriteAtEveryWriteCall_NeverExposesTableOverIncompleteImage) {
  const Run clean = run([](Run&, std::size_t) {});
  ASSERT_TRUE(clean.result.has_value()) << clean.result.error().message();
  std::size_t write_number = 0;
  for (std::size_t call = 1; call <= clean.disk->calls.size(); ++call) {
    if (clean.disk->calls[call - 1] != CallKind::kWrite) continue;
    const std::uint64_t offset = clean.disk->writes[write_number++].offset;
    SCOPED_TRACE("write failing at call " + std::to_string(call));
    // Armed right before the call, so that it hits that call and no earlier
    // write at the same offset.
    const Run r = run([call, offset](Run& self, std::size_t calls) {
      if (calls + 1 == call) self.disk->write_faults = {{.offset = offset}};
    });
    ASSERT_FALSE(r.result.has_value());
    EXPECT_EQ(r.result.error().code().text(), "WRITE_FAILED");
    EXPECT_TRUE(table_only_over_whole_image(*r.disk));
  }
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, PrefixCommit, ::testing::Values(512u, 4096u));

INSTANTIATE_TEST_SUITE_P(AlignedAndUnaligned, DataSafety, ::testing::Bool(),
                         [](const auto& param_info) {
                           return param_info.param ? std::string("Aligned4096")
                                                   : std::string("Unaligned");
                         });

}  // namespace
}  // namespace ravik::testing
