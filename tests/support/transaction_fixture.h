// Shared builders for the tests of the transaction and of its callers: open
// requests for a fake disk, and a transaction holding a FaultInjectingDevice
// over a FakeDisk the test keeps for inspection.
#ifndef RAVIK_TESTS_SUPPORT_TRANSACTION_FIXTURE_H_
#define RAVIK_TESTS_SUPPORT_TRANSACTION_FIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "io/sha256.h"
#include "support/fault_injecting_device.h"
#include "support/memory_source.h"
#include "transaction/held_transaction.h"

namespace ravik::testing {

// A byte never written by the engine: untouched target bytes carry it.
inline constexpr std::uint8_t kUntouched = 0xEE;

inline TargetExpectation fake_target(std::uint64_t size) {
  TargetExpectation target;
  target.platform = PlatformName::kLinux;
  target.device_id = "fake0";
  target.device_path = "/dev/fake0";
  target.size_bytes = size;
  return target;
}

inline OpenWriteRequest write_request_for(std::span<const std::uint8_t> image,
                                          std::uint64_t disk_size,
                                          std::uint64_t prefix = 0,
                                          TailPolicy tail = TailPolicy::kExact) {
  OpenWriteRequest request;
  request.request_id = "request-1";
  request.session_id = "session-1";
  request.task_id = "task-1";
  request.target = fake_target(disk_size);
  request.source.bytes_total = image.size();
  request.source.sha256 = Sha256::hex_of(image);
  request.tail_policy = tail;
  request.protected_prefix_bytes = prefix;
  return request;
}

inline OpenFormatRequest format_request_for(std::uint64_t disk_size) {
  OpenFormatRequest request;
  request.request_id = "request-1";
  request.session_id = "session-1";
  request.task_id = "task-1";
  request.target = fake_target(disk_size);
  return request;
}

// A transaction over `disk`, opened from `request`; the test fails when the
// open does.
struct HeldFake {
  std::shared_ptr<FakeDisk> disk;
  CancelFlag cancel = std::make_shared<std::atomic<bool>>(false);
  std::optional<HeldTransaction> transaction;

  HeldTransaction& operator*() { return *transaction; }
  HeldTransaction* operator->() { return &*transaction; }
};

inline HeldFake hold(std::shared_ptr<FakeDisk> disk, TransactionRequest request) {
  HeldFake held{.disk = disk,
                .cancel = std::make_shared<std::atomic<bool>>(false),
                .transaction = std::nullopt};
  auto opened = HeldTransaction::from_open_request(
      std::move(request), FaultInjectingDevice::make(disk), held.cancel);
  EXPECT_TRUE(opened.has_value()) << (opened ? "" : opened.error().message());
  if (opened) held.transaction.emplace(std::move(*opened));
  return held;
}

inline std::vector<std::uint8_t> slice(const std::vector<std::uint8_t>& bytes,
                                       std::uint64_t offset, std::uint64_t length) {
  return std::vector<std::uint8_t>(
      bytes.begin() + static_cast<std::ptrdiff_t>(offset),
      bytes.begin() + static_cast<std::ptrdiff_t>(offset + length));
}

}  // namespace ravik::testing

#endif  // RAVIK_TESTS_SUPPORT_TRANSACTION_FIXTURE_H_
