#include "session/channel.h"

#include <gtest/gtest.h>

#include <memory>
#include <thread>
#include <vector>

namespace ravik {
namespace {

TEST(ChannelTest, Receive_AfterSenderClosed_DrainsSlotThenReportsClosed) {
  auto [sender, receiver] = make_channel<int>();
  ASSERT_TRUE(sender.send(7));
  sender.close();
  EXPECT_EQ(receiver.receive(), std::optional<int>(7));
  EXPECT_EQ(receiver.receive(), std::nullopt);
}

TEST(ChannelTest, Send_AfterReceiverClosed_Fails) {
  auto [sender, receiver] = make_channel<int>();
  receiver.close();
  EXPECT_FALSE(sender.send(1));
}

TEST(ChannelTest, Send_WhileSlotFull_BlocksUntilReceivedInOrder) {
  auto [sender, receiver] = make_channel<std::unique_ptr<int>>();
  std::thread producer([s = std::move(sender)]() mutable {
    for (int n = 0; n < 50; ++n) {
      if (!s.send(std::make_unique<int>(n))) return;
    }
  });
  std::vector<int> seen;
  while (auto value = receiver.receive()) seen.push_back(**value);
  producer.join();
  ASSERT_EQ(seen.size(), 50u);
  for (int n = 0; n < 50; ++n) EXPECT_EQ(seen[n], n);
}

TEST(ChannelTest, Send_BlockedWhenReceiverCloses_FailsAndReturns) {
  auto [sender, receiver] = make_channel<int>();
  ASSERT_TRUE(sender.send(1));  // fills the slot
  std::atomic<bool> second_result{true};
  std::thread producer([&, s = std::move(sender)]() mutable {
    second_result = s.send(2);  // blocks: slot full
  });
  receiver.close();
  producer.join();
  EXPECT_FALSE(second_result.load());
}

TEST(ChannelTest, Receive_BlockedWhenSenderDropped_ReportsClosed) {
  auto [sender, receiver] = make_channel<int>();
  std::thread producer([s = std::move(sender)]() mutable { s.close(); });
  EXPECT_EQ(receiver.receive(), std::nullopt);
  producer.join();
}

}  // namespace
}  // namespace ravik
