#include "session/operation_state.h"

#include <gtest/gtest.h>
#include <malloc.h>

#include <string>
#include <thread>

namespace ravik {
namespace {

std::string id(int n) { return "op-" + std::to_string(n); }

TEST(OperationStateTest, Complete_ActiveOperation_MovesIdIntoHistory) {
  OperationState state;
  ASSERT_TRUE(state.try_begin("a"));
  complete_reader_operation(state, std::string("a"));
  EXPECT_FALSE(state.active_operation().has_value());
  EXPECT_TRUE(state.is_completed("a"));
  EXPECT_EQ(state.history_size(), 1u);
}

TEST(OperationStateTest, LongIds_HistoryMemoryDoesNotGrowWithTheirLength) {
  const auto heap_in_use = [] {
    const struct mallinfo2 info = ::mallinfo2();
    return info.uordblks + info.hblkhd;
  };
  const auto long_id = [](int n) {
    return std::string(1 << 20, 'x') + std::to_string(n);
  };
  OperationState state;
  const std::size_t before = heap_in_use();
  for (int n = 0; n < 130; ++n) {
    ASSERT_TRUE(state.try_begin(long_id(n)));
    complete_reader_operation(state, long_id(n));
  }
  // Kept whole, the 128 remembered IDs would hold 128 MiB.
  EXPECT_LT(heap_in_use(), before + (1 << 20));
  EXPECT_TRUE(state.is_completed(long_id(129)));
  EXPECT_FALSE(state.is_completed(long_id(1)));
  EXPECT_FALSE(state.is_completed(std::string(1 << 20, 'x')));
}

TEST(OperationStateTest, Complete_OtherOrMissingId_ChangesNothing) {
  OperationState state;
  ASSERT_TRUE(state.try_begin("a"));
  complete_reader_operation(state, std::string("b"));
  complete_reader_operation(state, std::nullopt);
  EXPECT_EQ(state.active_operation(), std::optional<std::string>("a"));
  EXPECT_FALSE(state.is_completed("b"));
  EXPECT_EQ(state.history_size(), 0u);

  OperationState idle;
  complete_reader_operation(idle, std::string("a"));
  EXPECT_FALSE(idle.is_completed("a"));
}

TEST(OperationStateTest, TryBegin_WhileActive_RefusesAndKeepsActive) {
  OperationState state;
  ASSERT_TRUE(state.try_begin("a"));
  EXPECT_FALSE(state.try_begin("b"));
  EXPECT_EQ(state.active_operation(), std::optional<std::string>("a"));
}

TEST(OperationStateTest, Complete_129Operations_ForgetsTheFirst) {
  OperationState state;
  for (int n = 1; n <= 129; ++n) {
    ASSERT_TRUE(state.try_begin(id(n)));
    state.complete(id(n));
  }
  EXPECT_EQ(state.history_size(), OperationState::kHistoryLimit);
  EXPECT_FALSE(state.is_completed(id(1)));
  EXPECT_TRUE(state.is_completed(id(2)));
  EXPECT_TRUE(state.is_completed(id(129)));
}

TEST(OperationStateTest, Complete_SameIdTwice_KeepsOneHistoryEntry) {
  OperationState state;
  ASSERT_TRUE(state.try_begin("a"));
  state.complete("a");
  ASSERT_TRUE(state.try_begin("a"));
  state.complete("a");
  EXPECT_EQ(state.history_size(), 1u);
  // The duplicate must not occupy a slot: 127 more fit before "a" ages out.
  for (int n = 1; n <= 127; ++n) {
    ASSERT_TRUE(state.try_begin(id(n)));
    state.complete(id(n));
  }
  EXPECT_TRUE(state.is_completed("a"));
  ASSERT_TRUE(state.try_begin(id(128)));
  state.complete(id(128));
  EXPECT_FALSE(state.is_completed("a"));
}

struct CancelCase {
  const char* name;
  std::optional<std::string> active;     // begun, not completed
  std::optional<std::string> completed;  // begun and completed before
  std::optional<std::string> cancel_id;
  CancelDecision decision;
  bool flag_set;
};

class DecideCancelTest : public ::testing::TestWithParam<CancelCase> {};

TEST_P(DecideCancelTest, DecideCancel_Table) {
  const CancelCase& c = GetParam();
  OperationState state;
  if (c.completed) {
    ASSERT_TRUE(state.try_begin(*c.completed));
    state.complete(*c.completed);
  }
  if (c.active) {
    ASSERT_TRUE(state.try_begin(*c.active));
  }
  std::atomic<bool> flag{false};
  EXPECT_EQ(state.decide_cancel(c.cancel_id, flag), c.decision);
  EXPECT_EQ(flag.load(), c.flag_set);
  // Judging a cancel never changes which operation runs.
  EXPECT_EQ(state.active_operation(), c.active);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, DecideCancelTest,
    ::testing::Values(
        CancelCase{
            "MatchingActive", "v", {}, "v", CancelDecision::kAppliedToActive, true},
        CancelCase{
            "NoIdWhileActive", "v", {}, {}, CancelDecision::kAppliedToActive, true},
        CancelCase{"OtherIdWhileActive", "v", {}, "w", CancelDecision::kMismatch, false},
        CancelCase{"FinishedIdWhileActive", "v", "u", "u", CancelDecision::kMismatch,
                   false},
        CancelCase{"FinishedIdWhileIdle", {}, "u", "u", CancelDecision::kLate, false},
        CancelCase{"UnknownIdWhileIdle", {}, "u", "x", CancelDecision::kForward, true},
        CancelCase{"NoIdWhileIdle", {}, "u", {}, CancelDecision::kForward, true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// Two threads racing a cancel against a completion: the cancel is either
// applied (flag set) or recognised as late, never both or neither.
TEST(OperationStateTest, DecideCancel_RacingCompletion_IsAppliedOrLate) {
  for (int round = 0; round < 200; ++round) {
    OperationState state;
    ASSERT_TRUE(state.try_begin("v"));
    std::atomic<bool> flag{false};
    CancelDecision decision{};
    std::thread reader([&] { decision = state.decide_cancel(std::string("v"), flag); });
    state.complete("v");
    reader.join();
    if (decision == CancelDecision::kAppliedToActive) {
      EXPECT_TRUE(flag.load());
    } else {
      EXPECT_EQ(decision, CancelDecision::kLate);
      EXPECT_FALSE(flag.load());
    }
  }
}

}  // namespace
}  // namespace ravik
