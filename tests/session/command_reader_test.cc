#include "session/command_reader.h"

#include <gtest/gtest.h>

#include <deque>
#include <future>
#include <thread>

namespace ravik {
namespace {

ClientMessage verify(std::string id) { return {VerifyCommand{.operation_id = id}}; }
ClientMessage read(std::string id) {
  return {ReadCommand{.operation_id = id, .offset_bytes = 0, .length_bytes = 1}};
}
ClientMessage cancel(std::optional<std::string> id) {
  return {CancelCommand{.operation_id = std::move(id)}};
}

// Frames handed out one by one; after the last, end of input.
FrameSource script(std::deque<ClientMessage> frames) {
  auto queue = std::make_shared<std::deque<ClientMessage>>(std::move(frames));
  return [queue]() -> Result<std::optional<ClientMessage>> {
    if (queue->empty()) {
      return fail(codes::kProtocolError,
                  "Could not read control-frame length: input ended early");
    }
    ClientMessage next = std::move(queue->front());
    queue->pop_front();
    return next;
  };
}

// Runs the reader on its own thread over `frames` and collects what it sends
// until the channel closes.
struct ReaderRun {
  OperationState state;
  std::atomic<bool> cancel_flag{false};
  std::vector<ReaderMessage> received;

  // `on_receive` runs on the receiving thread after each message, to play the
  // main thread's part (completing operations).
  void run(std::deque<ClientMessage> frames,
           const std::function<void(const ReaderMessage&)>& on_receive = {}) {
    auto [sender, receiver] = make_channel<ReaderMessage>();
    std::thread reader([&, s = std::move(sender), frames = std::move(frames)]() mutable {
      run_command_reader(script(std::move(frames)), s, state, cancel_flag);
    });
    while (auto message = receiver.receive()) {
      if (on_receive) on_receive(*message);
      received.push_back(std::move(*message));
    }
    reader.join();
  }
};

const ReaderFailure& failure_at(const ReaderRun& run, std::size_t index) {
  return std::get<ReaderFailure>(run.received.at(index));
}

TEST(CommandReaderTest, EndOfInput_SendsFailureWithoutOperation) {
  ReaderRun run;
  run.run({});
  ASSERT_EQ(run.received.size(), 1u);
  EXPECT_EQ(failure_at(run, 0).error.message(),
            "Could not read control-frame length: input ended early");
  EXPECT_FALSE(failure_at(run, 0).operation_id);
}

TEST(CommandReaderTest, CommandWhileActive_FailsAndNamesIt) {
  ReaderRun run;
  // The main thread never completes v1, so r1 meets a running operation.
  run.run({verify("v1"), read("r1")});
  ASSERT_EQ(run.received.size(), 3u);
  EXPECT_TRUE(std::holds_alternative<ClientMessage>(run.received[0]));
  EXPECT_EQ(failure_at(run, 1).error.message(),
            "Only a matching cancel frame is allowed while an operation is active.");
  EXPECT_EQ(failure_at(run, 1).operation_id, std::optional<std::string>("r1"));
  EXPECT_EQ(run.state.active_operation(), std::optional<std::string>("v1"));
}

TEST(CommandReaderTest, CancelFrames_AppliedMismatchedInvalidOrForwarded) {
  ReaderRun run;
  run.run({verify("v1"), cancel(std::string("other")), cancel(std::string("v1")),
           cancel(std::string(257, 'x'))});
  ASSERT_EQ(run.received.size(), 4u);
  EXPECT_EQ(failure_at(run, 1).error.message(),
            "Cancellation did not match the active operationId.");
  EXPECT_EQ(failure_at(run, 1).operation_id, std::optional<std::string>("other"));
  // The matching cancel set the flag and was dropped (no message for it).
  EXPECT_TRUE(run.cancel_flag.load());
  EXPECT_EQ(failure_at(run, 2).error.message(),
            "operationId must contain 1-256 non-NUL bytes.");
  EXPECT_EQ(failure_at(run, 2).operation_id,
            std::optional<std::string>(std::string(257, 'x')));
}

TEST(CommandReaderTest, CompletedOperation_LateCancelDroppedUnknownForwarded) {
  OperationState state;
  std::atomic<bool> flag{false};
  std::promise<void> v1_completed;
  std::shared_future<void> completed = v1_completed.get_future().share();
  auto [sender, receiver] = make_channel<ReaderMessage>();
  std::thread reader([&, s = std::move(sender)]() mutable {
    FrameSource rest = script({cancel(std::string("v1")), cancel(std::string("zz"))});
    bool first = true;
    const FrameSource frames = [&]() -> Result<std::optional<ClientMessage>> {
      if (first) {
        first = false;
        return verify("v1");
      }
      completed.wait();  // the application sends its cancel after the answer
      return rest();
    };
    run_command_reader(frames, s, state, flag);
  });
  std::vector<ReaderMessage> received;
  while (auto message = receiver.receive()) {
    if (received.empty()) {
      complete_reader_operation(state, std::string("v1"));
      v1_completed.set_value();
    }
    received.push_back(std::move(*message));
  }
  reader.join();
  // verify, the forwarded cancel for zz, the end of input; v1's cancel was
  // dropped as late.
  ASSERT_EQ(received.size(), 3u);
  const auto& forwarded = std::get<ClientMessage>(received[1]);
  EXPECT_EQ(std::get<CancelCommand>(forwarded.payload).operation_id,
            std::optional<std::string>("zz"));
  EXPECT_TRUE(flag.load());
}

TEST(CommandReaderTest, ReceiverGone_ReaderStopsAtNextSend) {
  OperationState state;
  std::atomic<bool> flag{false};
  auto [sender, receiver] = make_channel<ReaderMessage>();
  receiver.close();
  int frames_read = 0;
  const FrameSource endless = [&]() -> Result<std::optional<ClientMessage>> {
    ++frames_read;
    return ClientMessage{CancelCommand{}};
  };
  run_command_reader(endless, sender, state, flag);  // returns: the send failed
  EXPECT_EQ(frames_read, 1);
}

}  // namespace
}  // namespace ravik
