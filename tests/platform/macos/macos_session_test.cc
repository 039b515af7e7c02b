// The device session over the macOS platform: the simulated system takes the
// hold, and the session talks to an application over a real pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "job/messages.h"
#include "job/wire.h"
#include "mac_rig.h"
#include "platform/macos/open_macos_disk.h"
#include "session/device_session.h"
#include "support/fake_clock.h"
#include "support/pattern_bytes.h"
#include "support/sha256_hex.h"

namespace ravik::testing {
namespace {

MacRig* session_rig = nullptr;

Result<std::unique_ptr<HeldDeviceIo>> open_session_mac(const SelectedDisk& target,
                                                       const DeviceOpenPolicy&) {
  return macos::open(target, session_rig->system);
}

constexpr DeviceOpeners kSessionMacBuild{.platform = PlatformName::kMacos,
                                         .policy = {},
                                         .block_device = open_session_mac,
                                         .regular_file = nullptr};

// The whole input of a session that writes `image` and releases the disk.
std::string write_and_release(const MacRig& rig, const std::string& image) {
  job::OpenWriteFields fields;
  fields.ids = {"req-1", "ses-1", "task-1"};
  fields.target = {.platform = "macos",
                   .device_id = rig.target.device_id,
                   .device_path = rig.target.device_path,
                   .size_bytes = rig.target.size_bytes,
                   .serial = std::nullopt,
                   .topology_path = rig.target.topology_path,
                   .model = rig.target.model};
  fields.bytes_total = image.size();
  fields.sha256 = sha256_hex(image);
  return job::control_frame(job::open_write_message(fields)) +
         job::data_frame(image) + job::end_frame() +
         job::control_frame(job::simple_message("release", "rel"));
}

// A pipe whose write end takes nothing more until its reader reads.
struct FullPipe {
  FullPipe() {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    read_end = UniqueFd(ends[0]);
    write_end = UniqueFd(ends[1]);
    const int flags = ::fcntl(ends[1], F_GETFL);
    ::fcntl(ends[1], F_SETFL, flags | O_NONBLOCK);
    const std::string filler(4096, '\n');
    ssize_t written = 0;
    while ((written = ::write(ends[1], filler.data(), filler.size())) > 0) {
      filled += static_cast<std::size_t>(written);
    }
    EXPECT_EQ(errno, EAGAIN);
    ::fcntl(ends[1], F_SETFL, flags);
  }
  UniqueFd read_end;
  UniqueFd write_end;
  std::size_t filled = 0;
};

TEST(MacosSession, ClaimReleaseRequestedWhileTheApplicationStopsReadingIsRefused) {
  MacRig rig;
  session_rig = &rig;
  const std::string image = pattern_text(65536, 4);
  std::FILE* input = std::tmpfile();
  ASSERT_NE(input, nullptr);
  const std::string frames = write_and_release(rig, image);
  ASSERT_EQ(std::fwrite(frames.data(), 1, frames.size(), input), frames.size());
  ASSERT_EQ(std::fflush(input), 0);
  ASSERT_EQ(::lseek(::fileno(input), 0, SEEK_SET), 0);

  FullPipe output_pipe;
  std::mutex mutex;
  std::condition_variable held_changed;
  bool requested = false;
  std::string received;
  // The application stops reading until Disk Arbitration's patience with a
  // release request made once the disk is held has run out.
  std::thread application([&] {
    {
      std::unique_lock lock(mutex);
      held_changed.wait(lock, [&] { return requested; });
    }
    (void)rig.system->wait_until_no_release_request(std::chrono::seconds(10));
    rig.system->pass_time(2 * SimulatedMacSystem::kResponseTimeout);
    char buffer[4096];
    ssize_t count = 0;
    while ((count = ::read(output_pipe.read_end.get(), buffer, sizeof buffer)) > 0) {
      received.append(buffer, static_cast<std::size_t>(count));
    }
  });

  FakeClock clock;
  Result<void> result;
  {
    BufferedOutput output = BufferedOutput::over_fd(std::move(output_pipe.write_end));
    SessionServices services{
        .open_transaction = [&](const ClientMessage& request,
                                CancelFlag flag) -> Result<HeldTransaction> {
          auto held = transaction_opener_for(kSessionMacBuild)(request, std::move(flag));
          // The next thing the session does is write `ready`.
          if (held) rig.system->request_claim_release();
          const std::lock_guard lock(mutex);
          requested = true;
          held_changed.notify_all();
          return held;
        },
        .cancel_flag = std::make_shared<std::atomic<bool>>(false),
        .install_cancel_handlers = {},
        .wake_input = {},
        .maintenance_lease_id = std::string(64, 'a'),
        .clock = &clock,
        .confinement = {}};
    result =
        serve_device_session(BufferedInput::over_fd(UniqueFd(::dup(::fileno(input)))),
                             output, std::move(services));
  }
  application.join();
  std::fclose(input);
  session_rig = nullptr;

  ASSERT_TRUE(result) << result.error().message();
  ASSERT_GT(received.size(), output_pipe.filled);
  const std::string events = received.substr(output_pipe.filled);
  EXPECT_TRUE(events.starts_with(R"({"event":"ready",)")) << events;
  EXPECT_NE(events.find(R"({"event":"written")"), std::string::npos) << events;
  EXPECT_NE(events.find(R"({"event":"released")"), std::string::npos) << events;
  EXPECT_EQ(rig.system->release_requests_refused, 1);
  EXPECT_FALSE(rig.system->claimed_by_other);
}

}  // namespace
}  // namespace ravik::testing
